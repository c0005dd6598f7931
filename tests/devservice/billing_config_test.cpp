// Billing settings from JSON: what the program's configuration may change, and what it refuses.
#include "devservice/billing/billing_config.h"

#include <gtest/gtest.h>

namespace zarvo::devservice {
namespace {

TEST(BillingConfigTest, ReadsDelaysAccountsAndLimits) {
    auto config = billingConfigFromJson(Json::parse(R"({
        "settlement_seconds": 0.2, "heartbeat_timeout_seconds": 2, "running_seconds": 0,
        "min_start_points": 20, "max_reservation_points": 600, "snapshot": "/tmp/x.json",
        "accounts": [{"token": "t1", "paid_points": 7, "gift_points": 3}, {"name": "B"}]})"));
    ASSERT_TRUE(config.ok()) << config.error().message;
    EXPECT_EQ(config->settlementDelay, seconds(0.2));
    EXPECT_EQ(config->heartbeatTimeout, seconds(2));
    EXPECT_EQ(config->runningDelay, Duration(0));
    EXPECT_EQ(config->stoppingDelay, BillingConfig{}.stoppingDelay) << "absent keeps the default";
    EXPECT_EQ(config->minStartPoints, 20);
    EXPECT_EQ(config->maxReservationPoints, 600);
    EXPECT_EQ(config->snapshotPath->string(), "/tmp/x.json");
    ASSERT_EQ(config->accounts.size(), 2u);
    EXPECT_EQ(config->accounts[0].token, "t1");
    EXPECT_EQ(config->accounts[0].paidPoints, 7);
    EXPECT_EQ(config->accounts[0].giftPoints, 3);
    EXPECT_EQ(config->accounts[1].token, "") << "a fresh token is made at start";
    EXPECT_EQ(config->accounts[1].paidPoints, BillingAccountConfig{}.paidPoints);
}

TEST(BillingConfigTest, RefusesWrongTypesAndRangesNamingTheMember) {
    for (const char* text :
         {R"({"settlement_seconds": "3"})", R"({"heartbeat_timeout_seconds": -1})",
          R"({"min_start_points": 2.5})", R"({"max_reservation_points": 0})", R"({"accounts": {}})",
          R"({"accounts": [{"paid_points": -5}]})", R"({"snapshot": ""})", "[]"}) {
        auto config = billingConfigFromJson(Json::parse(text));
        EXPECT_FALSE(config.ok()) << text;
    }
    auto named = billingConfigFromJson(Json::parse(R"({"settlement_seconds": true})"));
    ASSERT_FALSE(named.ok());
    EXPECT_NE(named.error().message.find("settlement_seconds"), std::string::npos);
}

} // namespace
} // namespace zarvo::devservice
