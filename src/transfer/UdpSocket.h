#pragma once

#include <cstddef>
#include <cstdint>

// Why the last Bind failed, in terms a user can act on.
enum class TBindError { None, NoPermission, AddressInUse, AddressNotAvailable, Other };

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
    // Asks the kernel for a receive queue of at least Bytes; false when refused.
    bool SetReceiveBuffer(int Bytes);
    bool SendTo(const void *Data, std::size_t Len, std::uint32_t Address, std::uint16_t Port);
    // Blocks up to the receive timeout. Returns the datagram's full length (which
    // may exceed Capacity; only Capacity bytes are stored; 0 for an empty one),
    // or -1 on timeout, error or after ShutdownReceive.
    long ReceiveFrom(void *Buffer, std::size_t Capacity, std::uint32_t &Address, std::uint16_t &Port);
    // Makes a blocked ReceiveFrom return at once, and every later one too.
    void ShutdownReceive();
    void Close();

private:
    struct Impl;
    Impl *FImpl;
};
