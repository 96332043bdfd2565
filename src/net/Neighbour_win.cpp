#include "Neighbour.h"

// winsock2.h must come before the headers that build on it, and ws2tcpip.h
// before iphlpapi.h, or the netioapi.h it brings leaves out the *2 tables.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <algorithm>
#include <vector>

namespace {

// Index of the interface that holds Address; 0 when none does.
NET_IFINDEX InterfaceIndexOf(std::uint32_t Address)
{
    ULONG Size = 0;
    if (::GetIpAddrTable(nullptr, &Size, FALSE) != ERROR_INSUFFICIENT_BUFFER || Size == 0)
        return 0;
    std::vector<unsigned char> Buffer(Size);
    auto *Table = reinterpret_cast<MIB_IPADDRTABLE *>(Buffer.data());
    if (::GetIpAddrTable(Table, &Size, FALSE) != NO_ERROR)
        return 0;
    for (DWORD i = 0; i < Table->dwNumEntries; ++i)
        if (ntohl(Table->table[i].dwAddr) == Address)
            return Table->table[i].dwIndex;
    return 0;
}

TNeighbourState StateOf(NL_NEIGHBOR_STATE State)
{
    switch (State) {
    case NlnsIncomplete:
        return TNeighbourState::Resolving;
    case NlnsUnreachable:
        return TNeighbourState::Failed;
    case NlnsReachable:
    case NlnsStale:
    case NlnsDelay:
    case NlnsProbe:
    case NlnsPermanent:
        return TNeighbourState::Known;
    default:
        return TNeighbourState::Unknown;
    }
}

} // namespace

TNeighbourEntry QueryNeighbourEntry(std::uint32_t LocalAddress, std::uint32_t Address)
{
    const NET_IFINDEX Index = LocalAddress ? InterfaceIndexOf(LocalAddress) : 0;
    if (LocalAddress && Index == 0)
        return {};
    // The whole IPv4 table, as GetIpNetEntry2 would need the interface to be known
    // (MIB_IPNET_ROW2 in Microsoft's documentation: PhysicalAddress, State, IsUnreachable).
    MIB_IPNET_TABLE2 *Table = nullptr;
    if (::GetIpNetTable2(AF_INET, &Table) != NO_ERROR || !Table)
        return {};
    TNeighbourEntry Found;
    for (ULONG i = 0; i < Table->NumEntries && Found.State == TNeighbourState::Unknown; ++i) {
        const MIB_IPNET_ROW2 &Row = Table->Table[i];
        if (Row.Address.si_family != AF_INET || ntohl(Row.Address.Ipv4.sin_addr.s_addr) != Address ||
            (Index != 0 && Row.InterfaceIndex != Index))
            continue;
        // Wine shows an entry nobody answered for as stale but unreachable.
        Found.State = Row.IsUnreachable ? TNeighbourState::Failed : StateOf(Row.State);
        if (Found.State == TNeighbourState::Known && Row.PhysicalAddressLength == 6) {
            Found.Mac.emplace();
            std::copy(Row.PhysicalAddress, Row.PhysicalAddress + 6, Found.Mac->begin());
        }
    }
    ::FreeMibTable(Table);
    return Found;
}

std::optional<unsigned> CarrierChanges(std::uint32_t)
{
    // MIB_IF_ROW2 keeps the media state, not how often it changed: the unanswered attempts tell.
    return std::nullopt;
}

TLinkState QueryLinkState(std::uint32_t LocalAddress)
{
    // MIB_IF_ROW2 (Microsoft's documentation): AdminStatus says whether the
    // adapter is switched on, MediaConnectState whether a cable connects it,
    // OperStatus whether it can pass packets. Wine 8 reports AdminStatus up and
    // the media state unknown whatever the link does, and OperStatus down for
    // a link switched off (tried under Wine).
    MIB_IF_ROW2 Row{};
    Row.InterfaceIndex = InterfaceIndexOf(LocalAddress);
    if (Row.InterfaceIndex == 0 || ::GetIfEntry2(&Row) != NO_ERROR)
        return TLinkState::Unknown;
    if (Row.AdminStatus == NET_IF_ADMIN_STATUS_DOWN)
        return TLinkState::Down;
    if (Row.MediaConnectState == MediaConnectStateDisconnected)
        return TLinkState::NoCarrier;
    if (Row.OperStatus == IfOperStatusDown || Row.OperStatus == IfOperStatusNotPresent)
        return TLinkState::Down;
    return Row.OperStatus == IfOperStatusUp ? TLinkState::Up : TLinkState::Unknown;
}

bool GatewayLeadsTo(std::uint32_t LocalAddress, std::uint32_t Address)
{
    const NET_IFINDEX Index = InterfaceIndexOf(LocalAddress);
    MIB_IPFORWARD_TABLE2 *Table = nullptr;
    if (Index == 0 || ::GetIpForwardTable2(AF_INET, &Table) != NO_ERROR || !Table)
        return false;
    // The longest prefix on that interface that holds Address decides, as routing does.
    int Best = -1;
    bool Gateway = false;
    for (ULONG i = 0; i < Table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2 &Row = Table->Table[i];
        const int Length = Row.DestinationPrefix.PrefixLength;
        if (Row.InterfaceIndex != Index || Row.DestinationPrefix.Prefix.si_family != AF_INET || Length > 32 ||
            Length <= Best)
            continue;
        const std::uint32_t Mask = Length == 0 ? 0 : 0xFFFFFFFFu << (32 - Length);
        if (((ntohl(Row.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr) ^ Address) & Mask) != 0)
            continue;
        Best = Length;
        Gateway = Row.NextHop.si_family == AF_INET && Row.NextHop.Ipv4.sin_addr.s_addr != 0;
    }
    ::FreeMibTable(Table);
    return Gateway;
}
