#include "UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

struct TUdpSocket::Impl {
    std::atomic<int> Fd{-1};
    TBindError BindError = TBindError::None;
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
} // namespace

TUdpSocket::TUdpSocket() : FImpl(new Impl)
{
    FImpl->Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
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
    timeval tv{};
    tv.tv_sec = Milliseconds / 1000;
    tv.tv_usec = (Milliseconds % 1000) * 1000;
    return ::setsockopt(FImpl->Fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool TUdpSocket::Bind(std::uint32_t Address, std::uint16_t Port)
{
    const sockaddr_in sa = MakeAddr(Address, Port);
    if (::bind(FImpl->Fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0) {
        FImpl->BindError = TBindError::None;
        return true;
    }
    switch (errno) {
    case EACCES:
    case EPERM:
        FImpl->BindError = TBindError::NoPermission;
        break;
    case EADDRINUSE:
        FImpl->BindError = TBindError::AddressInUse;
        break;
    case EADDRNOTAVAIL:
        FImpl->BindError = TBindError::AddressNotAvailable;
        break;
    default:
        FImpl->BindError = TBindError::Other;
        break;
    }
    return false;
}

TBindError TUdpSocket::LastBindError() const
{
    return FImpl->BindError;
}

bool TUdpSocket::SetReceiveBuffer(int Bytes)
{
    return ::setsockopt(FImpl->Fd, SOL_SOCKET, SO_RCVBUF, &Bytes, sizeof Bytes) == 0;
}

bool TUdpSocket::SendTo(const void *Data, std::size_t Len, std::uint32_t Address, std::uint16_t Port)
{
    const sockaddr_in sa = MakeAddr(Address, Port);
    ssize_t n;
    do {
        n = ::sendto(FImpl->Fd, Data, Len, 0, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(Len);
}

long TUdpSocket::ReceiveFrom(void *Buffer, std::size_t Capacity, std::uint32_t &Address, std::uint16_t &Port)
{
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    // MSG_TRUNC reports the real length, so an oversized datagram is recognisable.
    const ssize_t n =
        ::recvfrom(FImpl->Fd, Buffer, Capacity, MSG_TRUNC, reinterpret_cast<sockaddr *>(&from), &fromLen);
    // After a shutdown the call returns 0 with no sender: that is no datagram.
    if (n < 0 || fromLen < sizeof(sockaddr_in))
        return -1;
    Address = ntohl(from.sin_addr.s_addr);
    Port = ntohs(from.sin_port);
    return static_cast<long>(n);
}

void TUdpSocket::ShutdownReceive()
{
    ::shutdown(FImpl->Fd, SHUT_RD);
}

void TUdpSocket::Close()
{
    const int fd = FImpl->Fd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}
