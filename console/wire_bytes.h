#pragma once
// Browser messages carry their fields as little-endian 32-bit words.
#include <cstdint>

namespace hbr::rconsole {

inline uint32_t U32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace hbr::rconsole
