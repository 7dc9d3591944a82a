// The notation of the simulated ESC's faults and versions.

#include "sim/fault_spec.h"

#include <gtest/gtest.h>

namespace quorvel::sim {
namespace {

TEST(FaultSpec, ParsesEachActionAndSelection) {
    struct SCase {
        const char* text;
        ReplyKind kind;
        FaultAction action;
        uint32_t nth;
        uint32_t repeat;
        uint64_t lateNs;
        uint8_t byte;
        std::vector<uint8_t> noise;
    };
    const SCase cases[] = {
        {"keep-alive:missing", ReplyKind::kKeepAlive, FaultAction::kMissing, 0, 1, 0, 0x31, {}},
        {"keepalive:missing@5+0", ReplyKind::kKeepAlive, FaultAction::kMissing, 5, 0, 0, 0x31, {}},
        {"program:late=300@3",
         ReplyKind::kProgram,
         FaultAction::kLate,
         3,
         1,
         300'000'000,
         0x31,
         {}},
        {"set-address:wrong=0x35", ReplyKind::kSetAddress, FaultAction::kWrong, 0, 1, 0, 0x35, {}},
        {"buffer:wrong=50@2+3", ReplyKind::kSetBuffer, FaultAction::kWrong, 2, 3, 0, 50, {}},
        {"id:noise=55,AA,0x0d",
         ReplyKind::kIdentify,
         FaultAction::kNoise,
         0,
         1,
         0,
         0x31,
         {0x55, 0xAA, 0x0D}},
        {"info:late=0", ReplyKind::kReadInfo, FaultAction::kLate, 0, 1, 0, 0x31, {}},
        {"identify:missing", ReplyKind::kIdentify, FaultAction::kMissing, 0, 1, 0, 0x31, {}},
        {"set-address:missing@2", ReplyKind::kSetAddress, FaultAction::kMissing, 2, 1, 0, 0x31, {}},
        {"program:missing@2+3", ReplyKind::kProgram, FaultAction::kMissing, 2, 3, 0, 0x31, {}},
        {"buffer:late=10", ReplyKind::kSetBuffer, FaultAction::kLate, 0, 1, 10'000'000, 0x31, {}},
        {"program:wrong=49", ReplyKind::kProgram, FaultAction::kWrong, 0, 1, 0, 49, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        const auto f = ParseFault(c.text, error);
        ASSERT_TRUE(f.has_value()) << error;
        EXPECT_EQ(f->kind, c.kind);
        EXPECT_EQ(f->action, c.action);
        EXPECT_EQ(f->nth, c.nth);
        EXPECT_EQ(f->repeat, c.repeat);
        EXPECT_EQ(f->lateNs, c.lateNs);
        EXPECT_EQ(f->byte, c.byte);
        EXPECT_EQ(f->noise, c.noise);
    }
}

TEST(FaultSpec, RejectsWhatIsNotOfTheForm) {
    for (const char* text :
         {"keep-alive", "ack:missing", "program:late", "program:late=x", "program:wrong=256",
          "program:missing=1", "program:noise=", "program:noise=GG", "program:missing@0",
          "program:missing@x", "program:missing@2+y", "program:drop", "program:late=-5",
          "program:missing@2+", "program:missing@", ":missing@3", "buffer:late=ten",
          "program:wrong=0x131", "info:noise=0g"}) {
        std::string error;
        EXPECT_FALSE(ParseFault(text, error).has_value()) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(FaultSpec, VersionsAndStopBits) {
    uint8_t major = 0;
    uint8_t minor = 0;
    ASSERT_TRUE(ParseVersion("4.03", major, minor));
    EXPECT_EQ(major, 4);
    EXPECT_EQ(minor, 3);
    ASSERT_TRUE(ParseVersion("4.10", major, minor));
    EXPECT_EQ(minor, 10);
    EXPECT_FALSE(ParseVersion("4", major, minor));
    ASSERT_TRUE(ParseVersion("5.0", major, minor));
    EXPECT_EQ(major, 5);
    EXPECT_EQ(minor, 0);
    for (const char* bad : {"4", "4.256", "4.", ".3", "4.3.1", "256.0", "a.b", "-1.2"}) {
        EXPECT_FALSE(ParseVersion(bad, major, minor)) << bad;
    }
    EXPECT_EQ(ParseStopBits("1"), 2);
    EXPECT_EQ(ParseStopBits("1.5"), 3);
    EXPECT_EQ(ParseStopBits("2"), 4);
    EXPECT_FALSE(ParseStopBits("3").has_value());
}

}  // namespace
}  // namespace quorvel::sim
