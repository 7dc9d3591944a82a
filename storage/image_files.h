#pragma once
// Reading the two firmware images from the program's resource folder.

#include <filesystem>

#include "esc/images.h"

namespace quorvel {

inline constexpr const char* kImage25File = "image25.bin";
inline constexpr const char* kImage101File = "image101.bin";

// Reads one image file; a missing, unreadable or short file yields an image whose
// Usable() is false and whose error says why. Never throws.
SFirmwareImage ReadFirmwareImage(const std::filesystem::path& file);
// Both images from a resource folder.
SImageSet LoadImageSet(const std::filesystem::path& resDir);

}  // namespace quorvel
