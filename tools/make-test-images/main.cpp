// Writes the two synthetic test images into a folder (default: res).
//
// They are test data, not firmware: pseudo-random bytes from a fixed seed, the ASCII
// marker "QUORVEL TESTDATA" at offset 0x00, the identity tag "QVID" at 0x10 followed by
// major, minor and variant bytes at 0x14, 0x15 and 0x16, and a plausible setup block at
// 0x6800. The simulated ESC reads that tag back from its flash to report the version it
// holds after an update. image25.bin is version 4.10 with variant byte 1, image101.bin
// version 4.10 with variant byte 0. The layout is in sim/test_image.h.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "sim/test_image.h"

namespace {

bool Write(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "make-test-images: cannot write %s\n", path.string().c_str());
        return false;
    }
    std::printf("%s\n", path.string().c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: make-test-images [FOLDER]   (default: res)\n");
        return 2;
    }
    const std::filesystem::path dir = argc == 2 ? argv[1] : "res";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    using namespace quorvel::sim;
    const bool ok =
        Write(dir / kImage25Name, MakeImage25()) && Write(dir / kImage101Name, MakeImage101());
    return ok ? 0 : 1;
}
