#pragma once

#include <cstdint>

// splitmix64: tiny, fast, and the same sequence for a seed on every build.
class SimRandom
{
public:
    explicit SimRandom(std::uint64_t seed) : FState(seed) {}
    std::uint64_t Next()
    {
        std::uint64_t z = (FState += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double NextUnit() { return double(Next() >> 11) * 0x1.0p-53; } // [0, 1)

private:
    std::uint64_t FState;
};
