#include "Neighbour.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace {

// Flags and name of the interface that holds Address.
std::optional<std::pair<unsigned, std::string>> InterfaceHolding(std::uint32_t Address)
{
    ifaddrs *List = nullptr;
    if (::getifaddrs(&List) != 0)
        return std::nullopt;
    std::optional<std::pair<unsigned, std::string>> Found;
    for (const ifaddrs *I = List; I && !Found; I = I->ifa_next) {
        if (I->ifa_addr && I->ifa_addr->sa_family == AF_INET && I->ifa_name &&
            ntohl(reinterpret_cast<const sockaddr_in *>(I->ifa_addr)->sin_addr.s_addr) == Address)
            Found.emplace(I->ifa_flags, I->ifa_name);
    }
    ::freeifaddrs(List);
    return Found;
}

// Index of the interface that holds Address; 0 when none does.
unsigned InterfaceIndexOf(std::uint32_t Address)
{
    const auto Interface = InterfaceHolding(Address);
    return Interface ? ::if_nametoindex(Interface->second.c_str()) : 0;
}

TNeighbourState StateOf(unsigned Nud)
{
    if (Nud & NUD_INCOMPLETE)
        return TNeighbourState::Resolving;
    if (Nud & NUD_FAILED)
        return TNeighbourState::Failed;
    if (Nud & (NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT | NUD_NOARP))
        return TNeighbourState::Known;
    return TNeighbourState::Unknown;
}

class TNetlinkSocket
{
public:
    TNetlinkSocket() : Fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {}
    ~TNetlinkSocket()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
    const int Fd;
};

} // namespace

TNeighbourEntry QueryNeighbourEntry(std::uint32_t LocalAddress, std::uint32_t Address)
{
    const unsigned Index = LocalAddress ? InterfaceIndexOf(LocalAddress) : 0;
    if (LocalAddress && Index == 0)
        return {};
    // The kernel's neighbour table, read through rtnetlink: one dump request.
    const TNetlinkSocket Socket;
    if (Socket.Fd < 0)
        return {};
    const timeval Limit{1, 0};
    ::setsockopt(Socket.Fd, SOL_SOCKET, SO_RCVTIMEO, &Limit, sizeof Limit);
    struct {
        nlmsghdr Header;
        ndmsg Body;
    } Request{};
    Request.Header.nlmsg_len = sizeof Request;
    Request.Header.nlmsg_type = RTM_GETNEIGH;
    Request.Header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    Request.Header.nlmsg_seq = 1;
    Request.Body.ndm_family = AF_INET;
    sockaddr_nl Kernel{};
    Kernel.nl_family = AF_NETLINK;
    if (::sendto(Socket.Fd, &Request, sizeof Request, 0, reinterpret_cast<sockaddr *>(&Kernel),
                 sizeof Kernel) < 0)
        return {};

    TNeighbourEntry Found;
    bool Matched = false;
    alignas(nlmsghdr) char Buffer[16384];
    // A table of any size comes in a bounded number of reads.
    for (int Reads = 0; Reads < 1000; ++Reads) {
        const ssize_t Got = ::recv(Socket.Fd, Buffer, sizeof Buffer, 0);
        if (Got <= 0)
            return Found;
        auto Length = static_cast<unsigned>(Got);
        for (auto *Message = reinterpret_cast<nlmsghdr *>(Buffer); NLMSG_OK(Message, Length);
             Message = NLMSG_NEXT(Message, Length)) {
            if (Message->nlmsg_type == NLMSG_DONE || Message->nlmsg_type == NLMSG_ERROR)
                return Found;
            if (Message->nlmsg_type != RTM_NEWNEIGH || Message->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg)))
                continue;
            const auto *Header = static_cast<const ndmsg *>(NLMSG_DATA(Message));
            if (Header->ndm_family != AF_INET || (Index && Header->ndm_ifindex != int(Index)))
                continue;
            int AttributesLength = int(Message->nlmsg_len - NLMSG_LENGTH(sizeof(ndmsg)));
            TNeighbourEntry Entry{StateOf(Header->ndm_state), std::nullopt};
            bool Ours = false;
            for (auto *Attribute = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(NLMSG_DATA(Message)) +
                                                              NLMSG_ALIGN(sizeof(ndmsg)));
                 RTA_OK(Attribute, AttributesLength); Attribute = RTA_NEXT(Attribute, AttributesLength)) {
                if (Attribute->rta_type == NDA_DST && RTA_PAYLOAD(Attribute) == 4) {
                    std::uint32_t Destination = 0;
                    std::memcpy(&Destination, RTA_DATA(Attribute), 4);
                    Ours = ntohl(Destination) == Address;
                } else if (Attribute->rta_type == NDA_LLADDR && RTA_PAYLOAD(Attribute) == 6) {
                    Entry.Mac.emplace();
                    std::memcpy(Entry.Mac->data(), RTA_DATA(Attribute), 6);
                }
            }
            // Only a resolved entry says where packets go; an unresolved one may keep an old address.
            if (Entry.State != TNeighbourState::Known)
                Entry.Mac.reset();
            if (Ours && !Matched) {
                Found = Entry;
                Matched = true;
            }
        }
    }
    return Found;
}

TLinkState QueryLinkState(std::uint32_t LocalAddress)
{
    const auto Interface = InterfaceHolding(LocalAddress);
    if (!Interface)
        return TLinkState::Unknown;
    if (!(Interface->first & IFF_UP))
        return TLinkState::Down;
    // Up but not running: the kernel sees no carrier.
    return (Interface->first & IFF_RUNNING) ? TLinkState::Up : TLinkState::NoCarrier;
}

std::optional<unsigned> CarrierChanges(std::uint32_t LocalAddress)
{
    const auto Interface = InterfaceHolding(LocalAddress);
    if (!Interface)
        return std::nullopt;
    // The kernel counts carrier changes since the interface came up (Linux 3.15 and later).
    std::FILE *File = std::fopen(("/sys/class/net/" + Interface->second + "/carrier_changes").c_str(), "re");
    if (!File)
        return std::nullopt;
    unsigned Changes = 0;
    const bool Read = std::fscanf(File, "%u", &Changes) == 1;
    std::fclose(File);
    return Read ? std::optional<unsigned>(Changes) : std::nullopt;
}

bool GatewayLeadsTo(std::uint32_t LocalAddress, std::uint32_t Address)
{
    const unsigned Index = InterfaceIndexOf(LocalAddress);
    if (Index == 0)
        return false;
    // The route a packet to Address leaving by that interface would take, as
    // "ip route get ADDRESS oif NAME" asks for it: one request, one answer.
    const int Fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (Fd < 0)
        return false;
    const timeval Limit{1, 0};
    ::setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &Limit, sizeof Limit);
    struct {
        nlmsghdr Header;
        rtmsg Body;
        rtattr DstHeader;
        std::uint32_t Dst;
        rtattr OifHeader;
        std::uint32_t Oif;
    } Request{};
    Request.Header.nlmsg_len = sizeof Request;
    Request.Header.nlmsg_type = RTM_GETROUTE;
    Request.Header.nlmsg_flags = NLM_F_REQUEST;
    Request.Header.nlmsg_seq = 1;
    Request.Body.rtm_family = AF_INET;
    Request.Body.rtm_dst_len = 32;
    Request.DstHeader = {RTA_LENGTH(sizeof(std::uint32_t)), RTA_DST};
    Request.Dst = htonl(Address);
    Request.OifHeader = {RTA_LENGTH(sizeof(std::uint32_t)), RTA_OIF};
    Request.Oif = Index;
    sockaddr_nl Kernel{};
    Kernel.nl_family = AF_NETLINK;
    bool Gateway = false;
    alignas(nlmsghdr) char Buffer[8192];
    if (::sendto(Fd, &Request, sizeof Request, 0, reinterpret_cast<sockaddr *>(&Kernel), sizeof Kernel) > 0) {
        const ssize_t Got = ::recv(Fd, Buffer, sizeof Buffer, 0);
        auto Length = static_cast<unsigned>(Got > 0 ? Got : 0);
        for (auto *Message = reinterpret_cast<nlmsghdr *>(Buffer); NLMSG_OK(Message, Length);
             Message = NLMSG_NEXT(Message, Length)) {
            if (Message->nlmsg_type != RTM_NEWROUTE || Message->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
                continue;
            int AttributesLength = int(Message->nlmsg_len - NLMSG_LENGTH(sizeof(rtmsg)));
            for (auto *Attribute = RTM_RTA(static_cast<rtmsg *>(NLMSG_DATA(Message)));
                 RTA_OK(Attribute, AttributesLength); Attribute = RTA_NEXT(Attribute, AttributesLength))
                Gateway |= Attribute->rta_type == RTA_GATEWAY;
        }
    }
    ::close(Fd);
    return Gateway;
}
