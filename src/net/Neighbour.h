#pragma once

#include <cstdint>

// What the PC's own tables say of the way to a device, after the fact:
// nothing is sent to find out. Addresses in host order; the platform file
// behind it is chosen by the build.

// What the neighbour table (ARP) holds for an address.
enum class TNeighbourState {
    Unknown,   // no entry, or the table could not be read
    Resolving, // asked for, no answer yet
    Failed,    // asked for, nobody answered
    Known,     // somebody answered (reachable, stale or fixed)
};

// The entry for Address on the interface that holds LocalAddress; on any
// interface when LocalAddress is 0.
TNeighbourState QueryNeighbour(std::uint32_t LocalAddress, std::uint32_t Address);

enum class TLinkState {
    Unknown,   // no interface holds the address, or the system could not be asked
    Up,        // switched on and connected
    Down,      // switched off
    NoCarrier, // switched on, but nothing connected: the cable is out, or the other end off
};

// The state of the interface that holds LocalAddress.
TLinkState QueryLinkState(std::uint32_t LocalAddress);

// True when the routing table sends Address through a gateway on the
// interface that holds LocalAddress; false when it would go straight onto
// that link, or cannot be told.
bool GatewayLeadsTo(std::uint32_t LocalAddress, std::uint32_t Address);
