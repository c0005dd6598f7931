#include "studio/billing_pages.h"

#include <gtest/gtest.h>

#include <vector>

namespace zarvo {
namespace {

struct BillingFixture : ::testing::Test {
    struct Call {
        std::string path;
        BillingPages::Reply done;
    };
    std::vector<Call> calls;
    std::vector<std::string> scripts;
    std::unique_ptr<BillingPages> pages = std::make_unique<BillingPages>(
        [this](const std::string& path, BillingPages::Reply done) {
            calls.push_back({path, std::move(done)});
        },
        [this](const std::string& script) { scripts.push_back(script); });
};

TEST_F(BillingFixture, PageValuesAreClampedAndEachListHasItsPath) {
    pages->request(BillingPages::List::account, Json());
    pages->request(BillingPages::List::account, Json(0));
    pages->request(BillingPages::List::account, Json("4"));
    pages->request(BillingPages::List::account, Json(2.0));
    pages->request(BillingPages::List::session, Json(3));
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].path, "client/billing?page=1");
    EXPECT_EQ(calls[1].path, "client/billing?page=1");
    EXPECT_EQ(calls[2].path, "client/billing?page=1");
    EXPECT_EQ(calls[3].path, "client/billing?page=1");
    EXPECT_EQ(calls[4].path, "client/session-billing?page=3&page_size=20");
}

TEST_F(BillingFixture, OnlyTheNewestReplyOfAListReachesThePageAndListsAreIndependent) {
    pages->request(BillingPages::List::account, Json(2));
    pages->request(BillingPages::List::account, Json(3));
    pages->request(BillingPages::List::session, Json(1));
    // Replies arrive out of order: page 3 first, the stale page 2 last.
    calls[2].done(Json{{"items", Json::array()}, {"page", 1}}, std::nullopt);
    calls[1].done(Json{{"page", 3}}, std::nullopt);
    calls[0].done(Json{{"page", 2}}, std::nullopt);
    ASSERT_EQ(scripts.size(), 2u);
    EXPECT_EQ(scripts[0], "window.receiveSessionBilling && window.receiveSessionBilling("
                          "{\"items\":[],\"page\":1})");
    EXPECT_EQ(scripts[1], "window.receiveBilling && window.receiveBilling({\"page\":3})");
}

TEST_F(BillingFixture, FailuresReachThePageAsAnErrorObjectAndLateRepliesAfterTeardownAreDropped) {
    pages->request(BillingPages::List::account, Json(1));
    calls[0].done(std::nullopt, "网络连接失败，请检查网络");
    pages->request(BillingPages::List::session, Json(1));
    calls[1].done(std::nullopt, std::nullopt);
    ASSERT_EQ(scripts.size(), 2u);
    EXPECT_EQ(scripts[0], "window.receiveBilling && window.receiveBilling("
                          "{\"error\":\"网络连接失败，请检查网络\"})");
    EXPECT_EQ(scripts[1], "window.receiveSessionBilling && window.receiveSessionBilling("
                          "{\"error\":\"账单加载失败\"})");

    pages->request(BillingPages::List::account, Json(2));
    auto late = std::move(calls.back().done);
    pages.reset();
    late(Json{{"page", 2}}, std::nullopt);
    EXPECT_EQ(scripts.size(), 2u);
}

} // namespace
} // namespace zarvo
