#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Fixed-width integers out of a byte buffer whose size the caller has already checked.
inline std::uint64_t LoadUnsigned(std::span<const std::uint8_t> b, std::size_t at, std::size_t width,
                                  bool bigEndian = false)
{
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t k = bigEndian ? i : width - 1 - i;
        v = (v << 8) | b[at + k];
    }
    return v;
}

inline std::uint16_t Load16(std::span<const std::uint8_t> b, std::size_t at, bool bigEndian = false)
{
    return static_cast<std::uint16_t>(LoadUnsigned(b, at, 2, bigEndian));
}

inline std::uint32_t Load32(std::span<const std::uint8_t> b, std::size_t at, bool bigEndian = false)
{
    return static_cast<std::uint32_t>(LoadUnsigned(b, at, 4, bigEndian));
}

inline std::uint64_t Load64(std::span<const std::uint8_t> b, std::size_t at, bool bigEndian = false)
{
    return LoadUnsigned(b, at, 8, bigEndian);
}
