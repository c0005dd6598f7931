#include "foundation/encoding.h"

#include <gtest/gtest.h>

#include <regex>

namespace zarvo {
namespace {

TEST(Encoding, Base64RoundTripsAndRejectsNonStandardText) {
    EXPECT_EQ(base64Encode("api.zarvo.example"), "YXBpLnphcnZvLmV4YW1wbGU=");
    EXPECT_EQ(base64Decode("YXBpLnphcnZvLmV4YW1wbGU="), "api.zarvo.example");
    EXPECT_EQ(base64Decode(""), "");
    EXPECT_FALSE(base64Decode("YXBp*"));
    EXPECT_FALSE(base64Decode("YXB"));
    EXPECT_FALSE(base64Decode("YX=p"));
}

TEST(Encoding, Sha256HexOfKnownInput) {
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Encoding, UuidIsUpperCaseCanonicalAndRandom) {
    std::string a = randomUuid();
    EXPECT_TRUE(std::regex_match(
        a, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
    EXPECT_NE(a, randomUuid());
}

TEST(Encoding, Iso8601FormatsUtcAndParsesOffsets) {
    WallTime t{std::chrono::seconds(1'800'000'000) + std::chrono::microseconds(250000)};
    EXPECT_EQ(formatIso8601(t), "2027-01-15T08:00:00Z");
    EXPECT_EQ(formatIso8601(t, true), "2027-01-15T08:00:00.250000Z");
    EXPECT_EQ(parseIso8601("2027-01-15T16:00:00.25+08:00"), t);
    EXPECT_FALSE(parseIso8601("yesterday"));
    // Beyond what the clock holds: no date rather than an overflow.
    EXPECT_FALSE(parseIso8601("4052-12-09T10:00:00Z"));
    EXPECT_FALSE(parseIso8601("1500-01-01T00:00:00Z"));
}

} // namespace
} // namespace zarvo
