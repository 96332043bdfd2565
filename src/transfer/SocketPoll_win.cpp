#include "SocketPoll.h"

#include "UdpSocket.h"

#include <winsock2.h>

#include <ws2tcpip.h>

// WSAPoll waits on sockets alone, so the wake-up is a datagram that a UDP
// socket on the loopback address sends to itself.
struct TPollWake::Impl {
    bool Started = false;
    SOCKET Sock = INVALID_SOCKET;
    sockaddr_in Self{};
};

TPollWake::TPollWake() : FImpl(new Impl)
{
    WSADATA Data;
    FImpl->Started = ::WSAStartup(MAKEWORD(2, 2), &Data) == 0;
    const SOCKET S = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (S == INVALID_SOCKET)
        return;
    sockaddr_in Self{};
    Self.sin_family = AF_INET;
    Self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int Length = sizeof Self;
    u_long NonBlocking = 1;
    if (::bind(S, reinterpret_cast<const sockaddr *>(&Self), sizeof Self) != 0 ||
        ::getsockname(S, reinterpret_cast<sockaddr *>(&Self), &Length) != 0 ||
        ::ioctlsocket(S, FIONBIO, &NonBlocking) != 0) {
        ::closesocket(S);
        return;
    }
    // Bound to any address (as Wine does), it is still reached on loopback.
    Self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FImpl->Sock = S;
    FImpl->Self = Self;
}

TPollWake::~TPollWake()
{
    if (FImpl->Sock != INVALID_SOCKET)
        ::closesocket(FImpl->Sock);
    if (FImpl->Started)
        ::WSACleanup();
    delete FImpl;
}

void TPollWake::Wake()
{
    const char Byte = 1;
    ::sendto(FImpl->Sock, &Byte, 1, 0, reinterpret_cast<const sockaddr *>(&FImpl->Self), sizeof FImpl->Self);
}

void TPollWake::Drain()
{
    char Bytes[16];
    for (int i = 0; i < 16 && ::recv(FImpl->Sock, Bytes, sizeof Bytes, 0) > 0; ++i) {
    }
}

bool PollSockets(std::span<TUdpSocket *const> Sockets, TPollWake *Wake, int TimeoutMs,
                 std::vector<bool> &Ready)
{
    std::vector<WSAPOLLFD> Fds;
    Fds.reserve(Sockets.size() + 1);
    for (TUdpSocket *Socket : Sockets)
        Fds.push_back({SOCKET(Socket->Handle()), POLLRDNORM, 0});
    const bool Waking = Wake && Wake->FImpl->Sock != INVALID_SOCKET;
    if (Waking)
        Fds.push_back({Wake->FImpl->Sock, POLLRDNORM, 0});
    const int Count = ::WSAPoll(Fds.data(), ULONG(Fds.size()), TimeoutMs);
    Ready.assign(Sockets.size(), false);
    // A port-unreachable report makes the socket readable, and the receive hands it over as
    // WSAECONNRESET (Microsoft's article 263823, of select; Wine reports none, so untried there).
    for (std::size_t i = 0; Count > 0 && i < Sockets.size(); ++i)
        Ready[i] = (Fds[i].revents & (POLLRDNORM | POLLERR | POLLHUP)) != 0;
    if (Waking && Count > 0 && Fds.back().revents)
        Wake->Drain();
    return Count != SOCKET_ERROR;
}
