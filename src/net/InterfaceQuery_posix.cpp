#include "InterfaceQuery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <memory>

namespace {

const sockaddr_in *AsIpv4(const sockaddr *Address)
{
    if (Address == nullptr || Address->sa_family != AF_INET)
        return nullptr;
    return reinterpret_cast<const sockaddr_in *>(Address);
}

std::string DottedText(const sockaddr_in *Address)
{
    char Text[INET_ADDRSTRLEN] = {};
    if (Address == nullptr || inet_ntop(AF_INET, &Address->sin_addr, Text, sizeof Text) == nullptr)
        return {};
    return Text;
}

// getifaddrs has no "no broadcast address": ifa_broadaddr shares its storage with ifa_dstaddr,
// and glibc fills it from IFA_ADDRESS when the system reports no broadcast address, that is
// with the peer of a point-to-point address or else with the interface's own address. So a
// value equal to the own address, or outside the address's subnet (a peer address comes with
// a /32 mask unless one is given), counts as none.
std::string BroadcastText(const ifaddrs &Entry, const sockaddr_in &Local)
{
    if ((Entry.ifa_flags & IFF_BROADCAST) == 0)
        return {};
    const sockaddr_in *Broadcast = AsIpv4(Entry.ifa_broadaddr);
    const sockaddr_in *Netmask = AsIpv4(Entry.ifa_netmask);
    if (Broadcast == nullptr || Netmask == nullptr)
        return {};
    const in_addr_t Own = Local.sin_addr.s_addr;
    const in_addr_t Brd = Broadcast->sin_addr.s_addr;
    if (Brd == Own || ((Brd ^ Own) & Netmask->sin_addr.s_addr) != 0)
        return {};
    return DottedText(Broadcast);
}

unsigned FlagWord(unsigned SystemFlags)
{
    unsigned Flags = 0;
    if (SystemFlags & IFF_UP)
        Flags |= iffUp;
    if (SystemFlags & IFF_BROADCAST)
        Flags |= iffBroadcast;
    if (SystemFlags & IFF_LOOPBACK)
        Flags |= iffLoopBack;
    if (SystemFlags & IFF_POINTOPOINT)
        Flags |= iffPointToPoint;
    return Flags;
}

} // namespace

std::optional<std::vector<TInterfaceRecord>> QueryInterfaces(int *Error)
{
    ifaddrs *List = nullptr;
    if (getifaddrs(&List) != 0) {
        if (Error)
            *Error = errno;
        return std::nullopt;
    }
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> Guard(List, &freeifaddrs);

    std::vector<TInterfaceRecord> Records;
    for (const ifaddrs *Entry = List; Entry != nullptr; Entry = Entry->ifa_next) {
        const sockaddr_in *Local = AsIpv4(Entry->ifa_addr);
        if (Local == nullptr)
            continue;
        TInterfaceRecord Record;
        Record.Name = Entry->ifa_name ? Entry->ifa_name : "";
        Record.Address = DottedText(Local);
        Record.Netmask = DottedText(AsIpv4(Entry->ifa_netmask));
        Record.Broadcast = BroadcastText(*Entry, *Local);
        Record.Flags = FlagWord(Entry->ifa_flags);
        Records.push_back(std::move(Record));
    }
    return Records;
}
