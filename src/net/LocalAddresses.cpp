#include "LocalAddresses.h"

#include "InterfaceQuery.h"

#include <new>

std::optional<TLocalAddress> LocalAddressFrom(const TInterfaceRecord &Record)
{
    const auto Address = ipv4::Parse(Record.Address);
    if (!Address)
        return std::nullopt;
    return TLocalAddress{Record.Name,
                         *Address,
                         ipv4::Parse(Record.Netmask).value_or(0xFFFFFFFFu),
                         ipv4::Parse(Record.Broadcast),
                         (Record.Flags & iffUp) != 0,
                         (Record.Flags & iffLoopBack) != 0,
                         (Record.Flags & iffPointToPoint) != 0};
}

std::vector<TLocalAddress> LocalAddresses(int *Error)
{
    std::vector<TLocalAddress> Result;
    try {
        const auto Records = QueryInterfaces(Error);
        for (const TInterfaceRecord &Record : Records.value_or(std::vector<TInterfaceRecord>())) {
            if (const auto Local = LocalAddressFrom(Record))
                Result.push_back(*Local);
        }
    } catch (const std::bad_alloc &) {
        Result.clear();
    }
    return Result;
}

std::optional<TLocalAddress> LocalAddressOf(TIpv4 Address)
{
    for (const TLocalAddress &Local : LocalAddresses()) {
        if (Local.Address == Address)
            return Local;
    }
    return std::nullopt;
}

TDeviceAddressCheck CheckDeviceAddress(TIpv4 Device, TIpv4 Local)
{
    if (!ipv4::IsSingleHost(Device))
        return TDeviceAddressCheck::NotOneDevice;
    for (const TLocalAddress &Own : LocalAddresses()) {
        // The PC would answer itself, with its own packets.
        if (Own.Address == Device)
            return TDeviceAddressCheck::OwnAddress;
        // The subnet's broadcast reaches every device on it.
        if (Local != 0 && Own.Address != Local)
            continue;
        const auto Directed = ipv4::DirectedBroadcast(Own.Address, Own.Netmask);
        if ((Directed && Device == *Directed) || (Own.Broadcast && Device == *Own.Broadcast))
            return TDeviceAddressCheck::NotOneDevice;
    }
    return TDeviceAddressCheck::Usable;
}
