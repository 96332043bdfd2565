#pragma once

#include <cstddef>
#include <cstdint>

// Why the last Bind failed, in terms a user can act on.
// InterfaceDown: the port-69 helper binds no switched-off interface.
enum class TBindError { None, NoPermission, AddressInUse, AddressNotAvailable, InterfaceDown, Other };

// Thin IPv4 UDP socket; the platform file behind it is chosen by the build.
// Addresses and ports are in host order.
class TUdpSocket
{
public:
    TUdpSocket();
    ~TUdpSocket();
    TUdpSocket(const TUdpSocket &) = delete;
    TUdpSocket &operator=(const TUdpSocket &) = delete;

    bool IsOpen() const;
    bool SetReceiveTimeout(int Milliseconds);
    bool Bind(std::uint32_t Address, std::uint16_t Port);
    TBindError LastBindError() const;
    // Lets datagrams leave only through the interface that holds Address, the
    // one bound; false when that cannot be made sure of.
    bool KeepToInterfaceOf(std::uint32_t Address);
    // The system's code when it could not tell which interface holds the address; 0 if it could.
    int InterfaceLookupError() const;
    // Asks the kernel for a receive queue of at least Bytes; false when refused.
    bool SetReceiveBuffer(int Bytes);
    // False when the system refused the datagram; LastSendError() then says why.
    bool SendTo(const void *Data, std::size_t Len, std::uint32_t Address, std::uint16_t Port);
    // The system's code (errno, or the WSA code) of the last refused send; 0 if none.
    int LastSendError() const;
    // Blocks up to the receive timeout. Returns the datagram's full length (which
    // may exceed Capacity; only Capacity bytes are stored; 0 for an empty one),
    // or -1 on timeout, error or after ShutdownReceive. A report that the peer's
    // port is closed is no datagram: it is counted, and the call gives -1.
    long ReceiveFrom(void *Buffer, std::size_t Capacity, std::uint32_t &Address, std::uint16_t &Port);
    // As ReceiveFrom, but never waits: -1 when nothing is queued now.
    long ReceiveNow(void *Buffer, std::size_t Capacity, std::uint32_t &Address, std::uint16_t &Port);
    // How many "port unreachable" reports for our datagrams arrived so far.
    unsigned PortUnreachableReports() const;
    // Makes a blocked ReceiveFrom return at once, and every later one too.
    void ShutdownReceive();
    void Close();
    // The system's handle (a file descriptor, or a SOCKET), for waiting on it.
    std::intptr_t Handle() const;

private:
    long Receive(void *Buffer, std::size_t Capacity, std::uint32_t &Address, std::uint16_t &Port, int How);
    // Empties the queue of ICMP reports, counting them; how many there were.
    unsigned TakeReports();

    struct Impl;
    Impl *FImpl;
};
