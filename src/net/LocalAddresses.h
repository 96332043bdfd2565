#pragma once

#include "Ipv4.h"

#include <optional>
#include <string>
#include <vector>

// One IPv4 address of one of the PC's interfaces, as values.
struct TLocalAddress {
    std::string Name; // the system's name of the interface, UTF-8
    TIpv4 Address = 0;
    TIpv4 Netmask = 0;
    std::optional<TIpv4> Broadcast; // as the system reports it
    bool IsUp = false;
    bool IsLoopBack = false;
    bool IsPPP = false;

    bool Holds(TIpv4 Other) const { return (Other & Netmask) == (Address & Netmask); }
    // The interface list's filter: each switch lifts its own condition only.
    bool Passes(bool UseDown, bool UseLoopBack, bool UsePPP) const
    {
        return (IsUp || UseDown) && (!IsLoopBack || UseLoopBack) && (!IsPPP || UsePPP);
    }
    // The window's choice: up, neither loopback nor point-to-point.
    bool Usable() const { return Passes(false, false, false); }
};

struct TInterfaceRecord;
// The record as values; nothing when its address is no dotted quad.
std::optional<TLocalAddress> LocalAddressFrom(const TInterfaceRecord &Record);

// Every IPv4 address of the PC's interfaces, those that are down, loopback and
// point-to-point too, in the system's order; empty when it cannot be asked,
// with Error (when given) set to the system's code.
std::vector<TLocalAddress> LocalAddresses(int *Error = nullptr);

// The entry of Address among them, if an interface still holds it.
std::optional<TLocalAddress> LocalAddressOf(TIpv4 Address);

// What keeps Device from being a device to upload to from Local (0: any
// interface); checked before anything is sent.
enum class TDeviceAddressCheck {
    Usable,
    NotOneDevice, // a broadcast (the subnet's too), multicast or reserved address: every device, or none
    OwnAddress,   // an address of this PC itself
};
TDeviceAddressCheck CheckDeviceAddress(TIpv4 Device, TIpv4 Local);
