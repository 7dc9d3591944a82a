#include "storage/image_files.h"

#include <fstream>
#include <system_error>

namespace quorvel {

namespace {

std::string PathText(const std::filesystem::path& path) {
    const std::u8string u8 = path.u8string();
    return std::string(u8.begin(), u8.end());
}

}  // namespace

SFirmwareImage ReadFirmwareImage(const std::filesystem::path& file) {
    SFirmwareImage image;
    image.origin = PathText(file);

    std::error_code ec;
    const auto st = std::filesystem::status(file, ec);
    if (st.type() == std::filesystem::file_type::not_found) {
        image.error = image.origin + " does not exist";
        return image;
    }
    if (st.type() == std::filesystem::file_type::directory) {
        image.error = image.origin + " is a directory, not an image file";
        return image;
    }
    if (ec || st.type() != std::filesystem::file_type::regular) {
        // A device or pipe could stream forever; an image is always a plain file.
        image.error = image.origin + " is not a regular file";
        return image;
    }

    std::ifstream in(file, std::ios::in | std::ios::binary);
    if (!in.is_open()) {
        image.error = image.origin + " cannot be opened for reading";
        return image;
    }
    char chunk[16384];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        image.bytes.insert(image.bytes.end(), chunk, chunk + in.gcount());
    }
    if (in.bad()) {
        image.bytes.clear();
        image.error = image.origin + " could not be read to its end";
        return image;
    }
    if (image.bytes.size() < kImageSize) {
        image.error = ShortImageText(image.origin, image.bytes.size());
    }
    return image;
}

SImageSet LoadImageSet(const std::filesystem::path& resDir) {
    SImageSet set;
    set.g_image25 = ReadFirmwareImage(resDir / kImage25File);
    set.g_image101 = ReadFirmwareImage(resDir / kImage101File);
    return set;
}

}  // namespace quorvel
