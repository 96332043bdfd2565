#include "UdpSocket.h"

// winsock2.h must come before the headers that build on it.
#include <winsock2.h>

#include <iphlpapi.h>
#include <mswsock.h>
#include <ws2tcpip.h>

#include <atomic>
#include <vector>

// Winsock differs from the POSIX layer in four ways that matter here:
// - every owner of a socket starts and releases the library itself (WSAStartup/WSACleanup);
// - a receive is overlapped and waits on its own event and a stop event, so ShutdownReceive
//   wakes it at once (shutdown() does not end a blocked UDP recvfrom on Windows);
// - an ICMP port-unreachable for an earlier send fails the next receive with WSAECONNRESET
//   (SIO_UDP_CONNRESET, on by default): that is counted, never taken for a datagram;
// - a datagram longer than the buffer fails with WSAEMSGSIZE after filling the buffer; it is
//   delivered cut, as on Linux, but its full length is unknown, so Capacity is returned.
struct TUdpSocket::Impl {
    bool Started = false;
    std::atomic<SOCKET> Sock{INVALID_SOCKET};
    HANDLE StopEvent = nullptr;
    DWORD TimeoutMs = INFINITE;
    TBindError BindError = TBindError::None;
    int SendError = 0;
    std::atomic<unsigned> PortUnreachable{0};
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
    WSADATA data;
    FImpl->Started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    FImpl->StopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return;
    FImpl->Sock = s;
}

TUdpSocket::~TUdpSocket()
{
    Close();
    if (FImpl->StopEvent)
        ::CloseHandle(FImpl->StopEvent);
    if (FImpl->Started)
        ::WSACleanup();
    delete FImpl;
}

bool TUdpSocket::IsOpen() const
{
    return FImpl->Sock != INVALID_SOCKET;
}

bool TUdpSocket::SetReceiveTimeout(int Milliseconds)
{
    // Winsock takes a DWORD of milliseconds, not a timeval. The overlapped receive below does
    // not see the option, so it keeps the value for its own wait.
    const DWORD ms = Milliseconds > 0 ? static_cast<DWORD>(Milliseconds) : 0;
    FImpl->TimeoutMs = ms > 0 ? ms : INFINITE;
    return ::setsockopt(FImpl->Sock, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&ms),
                        sizeof ms) == 0;
}

bool TUdpSocket::Bind(std::uint32_t Address, std::uint16_t Port)
{
    const sockaddr_in sa = MakeAddr(Address, Port);
    if (::bind(FImpl->Sock, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0) {
        FImpl->BindError = TBindError::None;
        return true;
    }
    switch (::WSAGetLastError()) {
    case WSAEACCES:
        FImpl->BindError = TBindError::NoPermission;
        break;
    case WSAEADDRINUSE:
        FImpl->BindError = TBindError::AddressInUse;
        break;
    case WSAEADDRNOTAVAIL:
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

bool TUdpSocket::KeepToInterfaceOf(std::uint32_t Address)
{
    // Windows sends from an address only through its own interface unless an administrator
    // turned on weak-host sending for it (MIB_IPINTERFACE_ROW.WeakHostSend, Microsoft's
    // documentation). IP_UNICAST_IF holds the way out then too; where it cannot be set
    // (Wine refuses it), the strong-host default still does.
    ULONG size = 0;
    if (::GetIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return true;
    std::vector<unsigned char> buffer(size);
    auto *table = reinterpret_cast<MIB_IPADDRTABLE *>(buffer.data());
    if (::GetIpAddrTable(table, &size, FALSE) != NO_ERROR)
        return true;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        if (ntohl(table->table[i].dwAddr) != Address)
            continue;
        const DWORD index = htonl(table->table[i].dwIndex); // network order for IPv4
        ::setsockopt(FImpl->Sock, IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char *>(&index),
                     sizeof index);
        break;
    }
    return true;
}

int TUdpSocket::InterfaceLookupError() const
{
    return 0; // KeepToInterfaceOf does not fail here
}

bool TUdpSocket::SetReceiveBuffer(int Bytes)
{
    return ::setsockopt(FImpl->Sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&Bytes),
                        sizeof Bytes) == 0;
}

bool TUdpSocket::SendTo(const void *Data, std::size_t Len, std::uint32_t Address, std::uint16_t Port)
{
    const sockaddr_in sa = MakeAddr(Address, Port);
    const int n = ::sendto(FImpl->Sock, static_cast<const char *>(Data), static_cast<int>(Len), 0,
                           reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    if (n == static_cast<int>(Len))
        return true;
    FImpl->SendError = n == SOCKET_ERROR ? ::WSAGetLastError() : WSAEMSGSIZE;
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
    return Receive(Buffer, Capacity, Address, Port, 1);
}

// How: 0 waits up to the receive timeout, anything else not at all.
long TUdpSocket::Receive(void *Buffer, std::size_t Capacity, std::uint32_t &Address, std::uint16_t &Port,
                         int How)
{
    const SOCKET s = FImpl->Sock;
    if (s == INVALID_SOCKET || ::WaitForSingleObject(FImpl->StopEvent, 0) == WAIT_OBJECT_0)
        return -1;
    WSAOVERLAPPED ov{};
    ov.hEvent = ::WSACreateEvent();
    if (ov.hEvent == WSA_INVALID_EVENT)
        return -1;
    WSABUF buf{static_cast<ULONG>(Capacity), static_cast<char *>(Buffer)};
    sockaddr_in from{};
    int fromLen = sizeof from;
    DWORD flags = 0;
    DWORD n = 0;
    long result = -1;
    bool done = false;
    if (::WSARecvFrom(s, &buf, 1, &n, &flags, reinterpret_cast<sockaddr *>(&from), &fromLen, &ov, nullptr) ==
        SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        if (error == WSAEMSGSIZE) {
            result = static_cast<long>(Capacity);
            done = true;
        } else if (error != WSA_IO_PENDING) {
            if (error == WSAECONNRESET)
                ++FImpl->PortUnreachable;
            done = true;
        }
    }
    if (!done) {
        // Also after an immediate success: the event is set then too, and the result is read the same way.
        const HANDLE events[2] = {ov.hEvent, FImpl->StopEvent};
        const DWORD woken = ::WaitForMultipleObjects(2, events, FALSE, How ? 0 : FImpl->TimeoutMs);
        if (woken != WAIT_OBJECT_0)
            ::CancelIoEx(reinterpret_cast<HANDLE>(s), &ov);
        // Waits for the cancellation too: ov and the buffers must outlive the operation.
        // A datagram that completed before the cancellation took hold is still delivered.
        if (::WSAGetOverlappedResult(s, &ov, &n, TRUE, &flags)) {
            result = static_cast<long>(n);
        } else {
            const int error = ::WSAGetLastError();
            if (error == WSAEMSGSIZE)
                result = static_cast<long>(Capacity);
            else if (error == WSAECONNRESET)
                ++FImpl->PortUnreachable;
        }
    }
    ::WSACloseEvent(ov.hEvent);
    if (result >= 0) {
        Address = ntohl(from.sin_addr.s_addr);
        Port = ntohs(from.sin_port);
    }
    return result;
}

unsigned TUdpSocket::PortUnreachableReports() const
{
    return FImpl->PortUnreachable;
}

unsigned TUdpSocket::TakeReports()
{
    return 0; // Winsock queues no reports: a receive hands each one over as WSAECONNRESET
}

void TUdpSocket::ShutdownReceive()
{
    ::SetEvent(FImpl->StopEvent);
}

std::intptr_t TUdpSocket::Handle() const
{
    return static_cast<std::intptr_t>(FImpl->Sock.load());
}

void TUdpSocket::Close()
{
    const SOCKET s = FImpl->Sock.exchange(INVALID_SOCKET);
    if (s != INVALID_SOCKET)
        ::closesocket(s);
}
