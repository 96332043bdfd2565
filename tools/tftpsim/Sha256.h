#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// SHA-256 (FIPS 180-4), small enough that the simulator needs no crypto library.
class Sha256
{
public:
    Sha256();
    void Update(std::span<const std::uint8_t> data);
    std::array<std::uint8_t, 32> Finish();

    static std::string Hex(std::span<const std::uint8_t> data);

private:
    void Compress(const std::uint8_t *block);

    std::array<std::uint32_t, 8> FState;
    std::array<std::uint8_t, 64> FBuffer{};
    std::size_t FBuffered = 0;
    std::uint64_t FTotal = 0; // bytes
};
