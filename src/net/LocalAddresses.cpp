#include "LocalAddresses.h"

#include "InterfaceInfo.h"

std::vector<TLocalAddress> LocalAddresses()
{
    TNetInterfaceList List;
    List.SetUseDown(true);
    List.SetUseLoopBack(true);
    List.SetUsePPP(true);
    List.Refresh();
    std::vector<TLocalAddress> Result;
    for (int i = 0; i < List.Count(); ++i) {
        const TInterfaceParams &Params = *List.Objects(i);
        const auto Address = ipv4::Parse(List.Strings(i));
        if (!Address)
            continue;
        Result.push_back({Params.Name, *Address, ipv4::Parse(Params.Netmask).value_or(0xFFFFFFFFu),
                          ipv4::Parse(Params.Broadcast), Params.IsUp, Params.IsLoopBack, Params.IsPPP});
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
