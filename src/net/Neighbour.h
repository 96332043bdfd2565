#pragma once

#include <cstdint>

// What the PC's neighbour table (ARP) holds for an address, after the fact:
// nothing is sent to find out.
enum class TNeighbourState {
    Unknown,   // no entry, or the table could not be read
    Resolving, // asked for, no answer yet
    Failed,    // asked for, nobody answered
    Known,     // somebody answered (reachable, stale or fixed)
};

// The entry for Address (host order) on the interface that holds
// LocalAddress; on any interface when LocalAddress is 0. The platform file
// behind it is chosen by the build.
TNeighbourState QueryNeighbour(std::uint32_t LocalAddress, std::uint32_t Address);
