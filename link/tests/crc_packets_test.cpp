#include <gtest/gtest.h>

#include "link/crc.h"

namespace quorvel {
TEST(Crc16, CheckValue) {
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(text), 0xBB3D);
}
}  // namespace quorvel
