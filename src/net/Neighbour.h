#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

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

// A hardware (Ethernet) address, and its usual text: lower case, colons.
using TMac = std::array<std::uint8_t, 6>;
inline std::string MacText(const TMac &Mac)
{
    char Text[18];
    std::snprintf(Text, sizeof Text, "%02x:%02x:%02x:%02x:%02x:%02x", Mac[0], Mac[1], Mac[2], Mac[3], Mac[4],
                  Mac[5]);
    return Text;
}

struct TNeighbourEntry {
    TNeighbourState State = TNeighbourState::Unknown;
    std::optional<TMac> Mac; // where packets to the address go now; none while unresolved
};

// The entry for Address on the interface that holds LocalAddress; on any
// interface when LocalAddress is 0.
TNeighbourEntry QueryNeighbourEntry(std::uint32_t LocalAddress, std::uint32_t Address);
inline TNeighbourState QueryNeighbour(std::uint32_t LocalAddress, std::uint32_t Address)
{
    return QueryNeighbourEntry(LocalAddress, Address).State;
}

// How often the interface that holds LocalAddress lost or found its carrier:
// it went down and came back in between two readings that differ. Nothing
// where the system keeps no count.
std::optional<unsigned> CarrierChanges(std::uint32_t LocalAddress);

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
