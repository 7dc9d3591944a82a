#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "storage/info_file.h"
#include "storage/tests/temp_dir.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using quorvel::testing::TempDir;

struct RecordingSink : IMessageSink {
    std::vector<std::pair<std::string, MessageStyle>> shown;
    void ShowMessage(std::string_view text, MessageStyle style) override {
        shown.emplace_back(std::string(text), style);
    }
};

std::string PathText(const fs::path& p) {
    const std::u8string u8 = p.u8string();
    return std::string(u8.begin(), u8.end());
}

void WriteBytes(const fs::path& p, const Bytes& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << p;
}

Bytes ReadBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const Bytes kDefaultBytes = {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                             0x00, 0x4B, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};

// family 3, model 7, reserved AA BB, port 10, baud 9600, 7 bits, parity 2,
// stop bits 0x04030201, then six bytes past the record.
const Bytes kThirtyBytes = {0x03, 0x07, 0xAA, 0xBB, 0x0A, 0x00, 0x00, 0x00, 0x80, 0x25,
                            0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                            0x01, 0x02, 0x03, 0x04, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6};

SInfoFileRecord ThirtyBytesRecord() {
    SInfoFileRecord r;
    r.family = 3;
    r.model = 7;
    r.reserved = {0xAA, 0xBB};
    r.port = 10;
    r.baud = 9600;
    r.byteSize = 7;
    r.parity = 2;
    r.stopBits = 0x04030201;
    return r;
}

SInfoFileRecord Scribbled() {
    SInfoFileRecord r;
    r.family = 9;
    r.model = 9;
    r.reserved = {9, 9};
    r.port = r.baud = r.byteSize = r.parity = r.stopBits = 99;
    return r;
}

TEST(InfoRecord, DefaultsEncodeToTheKnownBytes) {
    const auto bytes = DefaultInfoRecord().Encode();
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), kDefaultBytes);
}

TEST(InfoRecord, DecodeIsLittleEndianAndSigned) {
    EXPECT_EQ(SInfoFileRecord::Decode(kThirtyBytes.data(), kThirtyBytes.size()),
              ThirtyBytesRecord());
    const auto back = ThirtyBytesRecord().Encode();
    EXPECT_EQ(Bytes(back.begin(), back.end()),
              Bytes(kThirtyBytes.begin(), kThirtyBytes.begin() + 24));

    const Bytes ff(24, 0xFF);
    const SInfoFileRecord r = SInfoFileRecord::Decode(ff.data(), ff.size());
    EXPECT_EQ(r.family, 255);
    EXPECT_EQ(r.model, 255);
    EXPECT_EQ(r.reserved, (std::array<uint8_t, 2>{0xFF, 0xFF}));
    EXPECT_EQ(r.port, -1);
    EXPECT_EQ(r.baud, -1);
    EXPECT_EQ(r.byteSize, -1);
    EXPECT_EQ(r.parity, -1);
    EXPECT_EQ(r.stopBits, -1);
}

TEST(InfoRecord, ShortInputLeavesTheRestZero) {
    EXPECT_EQ(SInfoFileRecord::Decode(nullptr, 0), SInfoFileRecord{});
    SInfoFileRecord want = ThirtyBytesRecord();
    want.stopBits = 0x00030201;
    EXPECT_EQ(SInfoFileRecord::Decode(kThirtyBytes.data(), 23), want);
    want.stopBits = 0;
    want.parity = 0x0002;
    EXPECT_EQ(SInfoFileRecord::Decode(kThirtyBytes.data(), 17), want);
}

TEST(InfoFileText, MessagesCarryThePathWithoutASpace) {
    const std::string p = "/opt/q/res/orlinqsv.dtt";
    EXPECT_EQ(InfoOpenErrorText(p),
              "Information file/opt/q/res/orlinqsv.dtt\nOpening error,this file not exist,program "
              "will auto close!\nPlease open this application again!");
    EXPECT_EQ(InfoCreateErrorText(p),
              "Information file/opt/q/res/orlinqsv.dtt\nCreating error\xEF\xBC\x8Cprogram will "
              "auto close!\nPlease open this application again!");
    EXPECT_EQ(InfoRewriteErrorText(p),
              "Information file/opt/q/res/orlinqsv.dtt\nOpening error\xEF\xBC\x8C"
              "Please check this file!");
    // A path with printf directives in it is text, not a format.
    EXPECT_EQ(InfoRewriteErrorText("%s%n"),
              "Information file%s%n\nOpening error\xEF\xBC\x8CPlease check this file!");
}

TEST(InfoFilePathTest, BelowTheStartDirectory) {
    EXPECT_EQ(InfoFilePath("/opt/q"), fs::path("/opt/q") / "res" / "orlinqsv.dtt");
    EXPECT_EQ(InfoFilePath("/opt/q").filename(), "orlinqsv.dtt");
    EXPECT_EQ(InfoFilePath("/opt/q").parent_path().filename(), "res");
    const std::string longDir = "/" + std::string(700, 'd');
    EXPECT_EQ(PathText(InfoFilePath(longDir)).size(), longDir.size() + 17);
}

class InfoFile : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directory(dir.path() / "res"); }
    fs::path File() const { return InfoFilePath(dir.path()); }

    void ExpectOneMessage(const std::string& text) {
        ASSERT_EQ(sink.shown.size(), 1u);
        EXPECT_EQ(sink.shown[0].first, text);
        EXPECT_EQ(sink.shown[0].second, MessageStyle::kPrompt);
    }

    TempDir dir;
    RecordingSink sink;
};

TEST_F(InfoFile, ReadTakesUpTo24BytesAndZeroesTheRest) {
    SInfoFileRecord full = ThirtyBytesRecord();
    SInfoFileRecord cut23 = full;
    cut23.stopBits = 0x00030201;
    SInfoFileRecord ff;
    ff.family = ff.model = 0xFF;
    ff.reserved = {0xFF, 0xFF};
    ff.port = ff.baud = ff.byteSize = ff.parity = ff.stopBits = -1;
    const struct {
        const char* name;
        Bytes content;
        SInfoFileRecord want;
    } cases[] = {
        {"empty", {}, SInfoFileRecord{}},
        {"23 bytes", Bytes(kThirtyBytes.begin(), kThirtyBytes.begin() + 23), cut23},
        {"24 bytes", Bytes(kThirtyBytes.begin(), kThirtyBytes.begin() + 24), full},
        {"30 bytes", kThirtyBytes, full},
        {"garbage", Bytes(40, 0xFF), ff},
        {"defaults", kDefaultBytes, DefaultInfoRecord()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(File(), c.content);
        SInfoFileRecord record = Scribbled();
        EXPECT_EQ(ReadInfoFile(sink, File(), record), 0);
        EXPECT_EQ(record, c.want);
        EXPECT_EQ(ReadBytes(File()), c.content);  // reading never changes the file
    }
    EXPECT_TRUE(sink.shown.empty());
}

TEST_F(InfoFile, ReadFailsOnMissingFileOrDirectory) {
    SInfoFileRecord record = Scribbled();
    EXPECT_EQ(ReadInfoFile(sink, File(), record), -1);
    EXPECT_EQ(record, SInfoFileRecord{});
    ExpectOneMessage(InfoOpenErrorText(PathText(File())));
    EXPECT_FALSE(fs::exists(File())) << "reading must not create the file";

    sink.shown.clear();
    fs::create_directory(File());
    record = Scribbled();
    EXPECT_EQ(ReadInfoFile(sink, File(), record), -1);
    EXPECT_EQ(record, SInfoFileRecord{});
    ExpectOneMessage(InfoOpenErrorText(PathText(File())));
}

TEST_F(InfoFile, CreateWritesTheDefaults) {
    SInfoFileRecord record = Scribbled();
    EXPECT_EQ(CreateInfoFile(sink, File(), record), 0);
    EXPECT_EQ(record, DefaultInfoRecord());
    EXPECT_EQ(ReadBytes(File()), kDefaultBytes);
    EXPECT_TRUE(sink.shown.empty());

    // An existing longer file is cut back to the one record.
    WriteBytes(File(), kThirtyBytes);
    EXPECT_EQ(CreateInfoFile(sink, File(), record), 0);
    EXPECT_EQ(ReadBytes(File()), kDefaultBytes);
}

TEST_F(InfoFile, CreateFailsWithoutResDirectory) {
    fs::remove(dir.path() / "res");
    SInfoFileRecord record = Scribbled();
    EXPECT_EQ(CreateInfoFile(sink, File(), record), -1);
    EXPECT_EQ(record, DefaultInfoRecord());
    ExpectOneMessage(InfoCreateErrorText(PathText(File())));
    EXPECT_FALSE(fs::exists(dir.path() / "res")) << "the res folder is never created";
}

TEST_F(InfoFile, CreateFailsOnDirectoryInPlace) {
    fs::create_directory(File());
    SInfoFileRecord record;
    EXPECT_EQ(CreateInfoFile(sink, File(), record), -1);
    ExpectOneMessage(InfoCreateErrorText(PathText(File())));
}

TEST_F(InfoFile, WriteKeepsWhatLiesOutsideTheRecord) {
    WriteBytes(File(), kThirtyBytes);
    SInfoFileRecord record;
    ASSERT_EQ(ReadInfoFile(sink, File(), record), 0);
    record.port = 4;
    record.family = 0;
    EXPECT_EQ(WriteInfoFile(sink, File(), record), 0);

    Bytes want = kThirtyBytes;
    want[0] = 0;
    want[4] = 4;
    EXPECT_EQ(ReadBytes(File()), want);  // bytes 2, 3 and 24..29 as they were, 30 long
    EXPECT_TRUE(sink.shown.empty());
}

TEST_F(InfoFile, WriteIsBinary) {
    WriteBytes(File(), kDefaultBytes);
    SInfoFileRecord record = DefaultInfoRecord();
    record.port = 10;
    record.baud = 0x0D0A0D0A;
    ASSERT_EQ(WriteInfoFile(sink, File(), record), 0);
    Bytes want = kDefaultBytes;
    want[4] = 0x0A;
    want[8] = 0x0A;
    want[9] = 0x0D;
    want[10] = 0x0A;
    want[11] = 0x0D;
    EXPECT_EQ(ReadBytes(File()), want);

    SInfoFileRecord back;
    ASSERT_EQ(ReadInfoFile(sink, File(), back), 0);
    EXPECT_EQ(back, record);
}

TEST_F(InfoFile, WriteFailsOnMissingFileOrDirectory) {
    const SInfoFileRecord record = DefaultInfoRecord();
    EXPECT_EQ(WriteInfoFile(sink, File(), record), -1);
    ExpectOneMessage(InfoRewriteErrorText(PathText(File())));
    EXPECT_FALSE(fs::exists(File())) << "a rewrite must not create the file";

    sink.shown.clear();
    fs::create_directory(File());
    EXPECT_EQ(WriteInfoFile(sink, File(), record), -1);
    ExpectOneMessage(InfoRewriteErrorText(PathText(File())));
}

#ifdef __linux__
TEST(InfoFileDevice, WriteThatCannotBeFlushedIsReported) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full on this machine";
    }
    RecordingSink sink;
    EXPECT_EQ(WriteInfoFile(sink, "/dev/full", DefaultInfoRecord()), -1);
    ASSERT_EQ(sink.shown.size(), 1u);
    EXPECT_EQ(sink.shown[0].first, InfoRewriteErrorText("/dev/full"));
}
#endif

TEST(InfoFileLongPath, DirectoryLongerThan512Characters) {
    TempDir dir;
    fs::path start = dir.path();
    while (PathText(start).size() <= 600) {
        start /= std::string(120, 'q');
    }
    fs::create_directories(start / "res");
    const fs::path file = InfoFilePath(start);
    ASSERT_GT(PathText(file).size(), 512u);

    RecordingSink sink;
    SInfoFileRecord record;
    EXPECT_EQ(ReadInfoFile(sink, file, record), -1);
    ASSERT_EQ(sink.shown.size(), 1u);
    // The whole path, not a truncated one.
    EXPECT_EQ(sink.shown[0].first, InfoOpenErrorText(PathText(file)));
    EXPECT_NE(sink.shown[0].first.find(PathText(file) + "\nOpening error"), std::string::npos);

    sink.shown.clear();
    EXPECT_EQ(CreateInfoFile(sink, file, record), 0);
    EXPECT_EQ(ReadBytes(file), kDefaultBytes);
    record.model = 2;
    EXPECT_EQ(WriteInfoFile(sink, file, record), 0);
    SInfoFileRecord back;
    EXPECT_EQ(ReadInfoFile(sink, file, back), 0);
    EXPECT_EQ(back.model, 2);
    EXPECT_TRUE(sink.shown.empty());
}

// Read-only file: opening for update must fail for reading and for rewriting.
// Root ignores permission bits, so on POSIX the check runs in a child that has
// dropped to an unprivileged user.
#ifndef _WIN32
int RunUnprivileged(const std::function<int()>& body) {
    if (geteuid() != 0) {
        return body();
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(90);
        }
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return 91;
    }
    return WEXITSTATUS(status);
}
#else
int RunUnprivileged(const std::function<int()>& body) {
    return body();
}
#endif

TEST_F(InfoFile, ReadOnlyFileFailsToOpenForUpdate) {
    WriteBytes(File(), kThirtyBytes);
    fs::permissions(File(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string path = PathText(File());
#ifdef _WIN32
    // Wine run by root maps the read-only attribute onto permission bits that root
    // ignores; only a system that enforces the attribute can show the failure.
    if (std::fstream(File(), std::ios::in | std::ios::out | std::ios::binary).is_open()) {
        GTEST_SKIP() << "the read-only attribute is not enforced here";
    }
#endif

    // Exit codes name the first broken expectation; 0 when all held.
    const int rc = RunUnprivileged([&]() -> int {
        if (!std::ifstream(File(), std::ios::binary).is_open()) {
            return 1;  // cannot even read: the test would prove nothing
        }
        RecordingSink s;
        SInfoFileRecord record = Scribbled();
        if (ReadInfoFile(s, File(), record) != -1) {
            return 2;
        }
        if (!(record == SInfoFileRecord{})) {
            return 3;
        }
        if (WriteInfoFile(s, File(), DefaultInfoRecord()) != -1) {
            return 4;
        }
        if (s.shown.size() != 2 || s.shown[0].first != InfoOpenErrorText(path) ||
            s.shown[1].first != InfoRewriteErrorText(path)) {
            return 5;
        }
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadBytes(File()), kThirtyBytes);
}

TEST(ApplyInfo, TakesFamilyAndModelAsTheyAre) {
    SInfoFileRecord r;
    r.family = 200;
    r.model = 7;
    const SAppliedInfo a = ApplyInfoFile(r);
    EXPECT_EQ(a.m_nFamily, 200);
    EXPECT_EQ(a.m_nModel, 7);
    EXPECT_EQ(a.m_nFlowMode, 0);
}

}  // namespace
}  // namespace quorvel
