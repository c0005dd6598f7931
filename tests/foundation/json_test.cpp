#include "foundation/json.h"

#include <gtest/gtest.h>

namespace zarvo {
namespace {

TEST(JsonReaders, IntegerMeansAJsonIntegerOnly) {
    Json reply = Json::parse(R"({"a": 5, "b": 5.0, "c": "5", "d": null, "e": true,
                                 "big": 18446744073709551615, "neg": -3})");
    EXPECT_EQ(jsonInteger(reply, "a", 0), 5);
    EXPECT_EQ(jsonInteger(reply, "b", 10), 10);
    EXPECT_EQ(jsonInteger(reply, "c", 10), 10);
    EXPECT_EQ(jsonInteger(reply, "d", 10), 10);
    EXPECT_EQ(jsonInteger(reply, "e", 10), 10);
    EXPECT_EQ(jsonInteger(reply, "missing", 10), 10);
    EXPECT_EQ(jsonInteger(reply, "big", 0), INT64_MAX);
    EXPECT_EQ(jsonInteger(reply, "neg", 0), -3);
    EXPECT_EQ(jsonNumber(reply, "b", 0), 5.0);
    EXPECT_EQ(jsonNumber(reply, "c", 1.5), 1.5);
}

TEST(JsonReaders, StringsAndBooleansTakeTheDefaultOnWrongType) {
    Json reply = Json::parse(R"({"s": "RUNNING", "n": 1, "t": true, "z": 0})");
    EXPECT_EQ(jsonString(reply, "s", "IDLE"), "RUNNING");
    EXPECT_EQ(jsonString(reply, "n", "IDLE"), "IDLE");
    EXPECT_EQ(jsonString(reply, "missing", "IDLE"), "IDLE");
    EXPECT_TRUE(jsonBool(reply, "t", false));
    EXPECT_FALSE(jsonBool(reply, "z", false));
    EXPECT_EQ(jsonString(Json::array(), "s", "x"), "x");
}

TEST(JsonReaders, OnlyATopLevelObjectParses) {
    EXPECT_TRUE(parseJsonObject(R"({"status":"ok"})"));
    EXPECT_FALSE(parseJsonObject("[1,2]"));
    EXPECT_FALSE(parseJsonObject("\"ok\""));
    EXPECT_FALSE(parseJsonObject("{broken"));
    EXPECT_FALSE(parseJsonObject(""));
    EXPECT_FALSE(parseJsonObject("{\"a\":\"\xff\"}"));
}

} // namespace
} // namespace zarvo
