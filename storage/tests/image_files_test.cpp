#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <vector>

#include "storage/image_files.h"
#include "storage/tests/temp_dir.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using quorvel::testing::TempDir;

std::vector<uint8_t> Pattern(std::size_t n) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), uint8_t{7});
    return v;
}

void WriteBytes(const fs::path& p, const std::vector<uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string PathText(const fs::path& p) {
    const std::u8string u8 = p.u8string();
    return std::string(u8.begin(), u8.end());
}

TEST(ImageFiles, ReadsTheWholeFile) {
    TempDir dir;
    for (std::size_t size : {kImageSize, kImageSize + 1, std::size_t{0x10000} + 3}) {
        const fs::path file = dir.path() / "img.bin";
        WriteBytes(file, Pattern(size));
        const SFirmwareImage image = ReadFirmwareImage(file);
        EXPECT_TRUE(image.Usable()) << size;
        EXPECT_EQ(image.error, "");
        EXPECT_EQ(image.origin, PathText(file));
        EXPECT_EQ(image.bytes, Pattern(size));
    }
}

TEST(ImageFiles, UnusableFilesSayWhy) {
    TempDir dir;
    const fs::path missing = dir.path() / "missing.bin";
    const fs::path folder = dir.path() / "folder.bin";
    const fs::path shortFile = dir.path() / "short.bin";
    const fs::path empty = dir.path() / "empty.bin";
    fs::create_directory(folder);
    WriteBytes(shortFile, Pattern(kImageSize - 1));
    WriteBytes(empty, {});

    const struct {
        fs::path file;
        std::string problem;
    } cases[] = {
        {missing, PathText(missing) + " does not exist"},
        {folder, PathText(folder) + " is a directory, not an image file"},
        {shortFile, PathText(shortFile) + " holds 28671 bytes, at least 28672 are needed"},
        {empty, PathText(empty) + " holds 0 bytes, at least 28672 are needed"},
    };
    for (const auto& c : cases) {
        const SFirmwareImage image = ReadFirmwareImage(c.file);
        EXPECT_FALSE(image.Usable()) << c.file;
        EXPECT_EQ(image.Problem(), c.problem);
        EXPECT_EQ(image.error, c.problem);
        EXPECT_EQ(image.origin, PathText(c.file));
    }
}

#ifdef __linux__
TEST(ImageFiles, DeviceIsNotAnImage) {
    // A character device would stream forever.
    const SFirmwareImage image = ReadFirmwareImage("/dev/zero");
    EXPECT_FALSE(image.Usable());
    EXPECT_EQ(image.Problem(), "/dev/zero is not a regular file");
}
#endif

TEST(ImageFiles, LoadImageSetReadsBothFiles) {
    TempDir dir;
    WriteBytes(dir.path() / "image25.bin", Pattern(kImageSize));
    std::vector<uint8_t> other(kImageSize, 0xA5);
    WriteBytes(dir.path() / "image101.bin", other);

    const SImageSet set = LoadImageSet(dir.path());
    EXPECT_TRUE(set.g_image25.Usable());
    EXPECT_TRUE(set.g_image101.Usable());
    EXPECT_EQ(set.g_image25.bytes, Pattern(kImageSize));
    EXPECT_EQ(set.g_image101.bytes, other);
    EXPECT_EQ(set.g_image25.origin, PathText(dir.path() / "image25.bin"));
    EXPECT_EQ(set.g_image101.origin, PathText(dir.path() / "image101.bin"));

    fs::remove(dir.path() / "image101.bin");
    const SImageSet half = LoadImageSet(dir.path());
    EXPECT_TRUE(half.g_image25.Usable());
    EXPECT_FALSE(half.g_image101.Usable());
    EXPECT_EQ(half.g_image101.Problem(), PathText(dir.path() / "image101.bin") + " does not exist");
}

}  // namespace
}  // namespace quorvel
