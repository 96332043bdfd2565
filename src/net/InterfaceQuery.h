#pragma once

#include <optional>
#include <string>
#include <vector>

// Bits of a record's flag word. They have the values of the Winsock INTERFACE_INFO flags,
// so that platform's records need no translation.
enum TInterfaceFlag : unsigned {
    iffUp = 0x01,
    iffBroadcast = 0x02,
    iffLoopBack = 0x04,
    iffPointToPoint = 0x08,
};

// One IPv4 address of one interface, as the system reports it. Addresses are dotted-decimal text.
struct TInterfaceRecord {
    std::string Name; // UTF-8, the system's name: eth1 on Linux, the adapter's friendly name on Windows
    std::string Address;
    std::string Netmask;
    std::string Broadcast; // empty when the system reports none
    unsigned Flags = 0;    // TInterfaceFlag bits
};

// The system's IPv4 interface table, one record per address, in the system's order.
// Returns nullopt when the system cannot be asked, with Error (when given) set to the system's
// code; may throw std::bad_alloc.
std::optional<std::vector<TInterfaceRecord>> QueryInterfaces(int *Error = nullptr);
