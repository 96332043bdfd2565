#include "UdpSocket.h"

#include "BindHelper.h"
#include "BindHelperProtocol.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/errqueue.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

struct TUdpSocket::Impl {
    std::atomic<int> Fd{-1};
    TBindError BindError = TBindError::None;
    int SendError = 0;
    int LookupError = 0;
    std::atomic<unsigned> PortUnreachable{0};
    // As asked for so far (-1: not asked), for a socket that takes this one's place.
    int ReceiveTimeoutMs = -1;
    int ReceiveBufferBytes = -1;
};

namespace {
sockaddr_in MakeAddr(std::uint32_t Address, std::uint16_t Port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(Port);
    sa.sin_addr.s_addr = htonl(Address);
    return sa;
}

// An unconnected socket hears of ICMP errors only when it asks to.
void AskForErrorReports(int Fd)
{
    const int on = 1;
    ::setsockopt(Fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
}

bool ApplyReceiveTimeout(int Fd, int Milliseconds)
{
    timeval tv{};
    tv.tv_sec = Milliseconds / 1000;
    tv.tv_usec = (Milliseconds % 1000) * 1000;
    return ::setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool ApplyReceiveBuffer(int Fd, int Bytes)
{
    return ::setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &Bytes, sizeof Bytes) == 0;
}

TBindError BindErrorOf(int Code)
{
    switch (Code) {
    case EACCES:
    case EPERM:
        return TBindError::NoPermission;
    case EADDRINUSE:
        return TBindError::AddressInUse;
    case EADDRNOTAVAIL:
        return TBindError::AddressNotAvailable;
    default:
        return TBindError::Other;
    }
}

// Name of the interface that holds Address; empty when none does, or with Error (errno) when the
// system could not be asked.
std::string InterfaceHolding(std::uint32_t Address, int &Error)
{
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0) {
        Error = errno;
        return {};
    }
    std::string name;
    for (const ifaddrs *i = list; i && name.empty(); i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && i->ifa_name &&
            ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr) == Address)
            name = i->ifa_name;
    }
    ::freeifaddrs(list);
    return name;
}

struct TErrorReports {
    unsigned Total = 0;
    unsigned PortUnreachable = 0; // nothing listens on the peer's port
};

// Takes the ICMP reports the kernel queued for this socket (IP_RECVERR).
TErrorReports DrainErrorQueue(int Fd)
{
    TErrorReports reports;
    for (int i = 0; i < 64; ++i) {
        char data[64];
        alignas(cmsghdr) char control[512];
        sockaddr_in offender{};
        iovec io{data, sizeof data};
        msghdr message{};
        message.msg_name = &offender;
        message.msg_namelen = sizeof offender;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(Fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            break;
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
                continue;
            sock_extended_err report{};
            std::memcpy(&report, CMSG_DATA(c), sizeof report);
            ++reports.Total;
            if (report.ee_origin == SO_EE_ORIGIN_ICMP && report.ee_type == 3 && report.ee_code == 3)
                ++reports.PortUnreachable;
        }
    }
    return reports;
}
} // namespace

TUdpSocket::TUdpSocket() : FImpl(new Impl)
{
    FImpl->Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    AskForErrorReports(FImpl->Fd);
}

TUdpSocket::~TUdpSocket()
{
    Close();
    delete FImpl;
}

bool TUdpSocket::IsOpen() const
{
    return FImpl->Fd >= 0;
}

bool TUdpSocket::SetReceiveTimeout(int Milliseconds)
{
    FImpl->ReceiveTimeoutMs = Milliseconds;
    return ApplyReceiveTimeout(FImpl->Fd, Milliseconds);
}

bool TUdpSocket::Bind(std::uint32_t Address, std::uint16_t Port)
{
    const sockaddr_in sa = MakeAddr(Address, Port);
    if (::bind(FImpl->Fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0) {
        FImpl->BindError = TBindError::None;
        return true;
    }
    FImpl->BindError = BindErrorOf(errno);
    // Without the privilege, port 69 of one interface's address comes from the
    // helper, which holds it; this process never does.
    if (FImpl->BindError != TBindError::NoPermission || Port != BindHelperPort || Address == 0)
        return false;
    const int given = BindThroughHelper(Address, FImpl->BindError);
    if (given < 0)
        return false;
    // It takes this socket's place, with the options asked for so far.
    AskForErrorReports(given);
    if (FImpl->ReceiveTimeoutMs >= 0)
        ApplyReceiveTimeout(given, FImpl->ReceiveTimeoutMs);
    if (FImpl->ReceiveBufferBytes >= 0)
        ApplyReceiveBuffer(given, FImpl->ReceiveBufferBytes);
    const bool taken = ::dup3(given, FImpl->Fd, O_CLOEXEC) >= 0;
    ::close(given);
    FImpl->BindError = taken ? TBindError::None : TBindError::Other;
    return taken;
}

TBindError TUdpSocket::LastBindError() const
{
    return FImpl->BindError;
}

bool TUdpSocket::KeepToInterfaceOf(std::uint32_t Address)
{
    // A bound address does not choose the way out here: the routing table
    // does, and may pick another interface on the same subnet.
    FImpl->LookupError = 0;
    const std::string name = InterfaceHolding(Address, FImpl->LookupError);
    if (name.empty())
        return false;
    // A socket from the bind helper is kept there already, and this process
    // may not set it again.
    char kept[IFNAMSIZ] = {};
    socklen_t keptLen = sizeof kept;
    if (::getsockopt(FImpl->Fd, SOL_SOCKET, SO_BINDTODEVICE, kept, &keptLen) == 0 && name == kept)
        return true;
    if (::setsockopt(FImpl->Fd, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(), socklen_t(name.size() + 1)) == 0)
        return true;
    // Kernels before 5.7 keep SO_BINDTODEVICE to privileged programs; this
    // one steers every send the same way.
    const int index = int(htonl(::if_nametoindex(name.c_str())));
    if (index == 0)
        FImpl->LookupError = errno;
    return index != 0 && ::setsockopt(FImpl->Fd, IPPROTO_IP, IP_UNICAST_IF, &index, sizeof index) == 0;
}

int TUdpSocket::InterfaceLookupError() const
{
    return FImpl->LookupError;
}

bool TUdpSocket::SetReceiveBuffer(int Bytes)
{
    FImpl->ReceiveBufferBytes = Bytes;
    return ApplyReceiveBuffer(FImpl->Fd, Bytes);
}

bool TUdpSocket::SendTo(const void *Data, std::size_t Len, std::uint32_t Address, std::uint16_t Port)
{
    const sockaddr_in sa = MakeAddr(Address, Port);
    ssize_t n = -1;
    for (int tries = 0; tries < 4; ++tries) {
        n = ::sendto(FImpl->Fd, Data, Len, 0, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
        if (n >= 0)
            break;
        if (errno == EINTR)
            continue;
        // An ICMP report for an earlier datagram fails the next send rather
        // than a receive when it comes first: this datagram did not go, send it again.
        const int error = errno;
        if (TakeReports() > 0 || error == ECONNREFUSED)
            continue;
        errno = error;
        break;
    }
    if (n == static_cast<ssize_t>(Len))
        return true;
    FImpl->SendError = n < 0 ? errno : EMSGSIZE;
    return false;
}

int TUdpSocket::LastSendError() const
{
    return FImpl->SendError;
}

long TUdpSocket::ReceiveFrom(void *Buffer, std::size_t Capacity, std::uint32_t &Address, std::uint16_t &Port)
{
    return Receive(Buffer, Capacity, Address, Port, 0);
}

long TUdpSocket::ReceiveNow(void *Buffer, std::size_t Capacity, std::uint32_t &Address, std::uint16_t &Port)
{
    return Receive(Buffer, Capacity, Address, Port, MSG_DONTWAIT);
}

long TUdpSocket::Receive(void *Buffer, std::size_t Capacity, std::uint32_t &Address, std::uint16_t &Port,
                         int Flags)
{
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    // MSG_TRUNC reports the real length, so an oversized datagram is recognisable.
    const ssize_t n = ::recvfrom(FImpl->Fd, Buffer, Capacity, MSG_TRUNC | Flags,
                                 reinterpret_cast<sockaddr *>(&from), &fromLen);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        TakeReports();
    // After a shutdown the call returns 0 with no sender: that is no datagram.
    if (n < 0 || fromLen < sizeof(sockaddr_in))
        return -1;
    Address = ntohl(from.sin_addr.s_addr);
    Port = ntohs(from.sin_port);
    return static_cast<long>(n);
}

unsigned TUdpSocket::PortUnreachableReports() const
{
    return FImpl->PortUnreachable;
}

unsigned TUdpSocket::TakeReports()
{
    const TErrorReports reports = DrainErrorQueue(FImpl->Fd);
    FImpl->PortUnreachable += reports.PortUnreachable;
    return reports.Total;
}

void TUdpSocket::ShutdownReceive()
{
    ::shutdown(FImpl->Fd, SHUT_RD);
}

std::intptr_t TUdpSocket::Handle() const
{
    return FImpl->Fd;
}

void TUdpSocket::Close()
{
    const int fd = FImpl->Fd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}
