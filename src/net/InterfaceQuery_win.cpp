#include "InterfaceQuery.h"

// winsock2.h must come before the headers that build on it.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <cstddef>
#include <map>
#include <string>

namespace {

// The table is asked for with a growing area, so any number of interfaces fits.
constexpr std::size_t FirstAreaSize = 1024;
constexpr int MaxGrowths = 12; // 1 KiB to 4 MiB

std::string DottedText(const sockaddr_gen &Address)
{
    if (Address.Address.sa_family != AF_INET)
        return {};
    char Text[INET_ADDRSTRLEN] = {};
    in_addr Ip = Address.AddressIn.sin_addr;
    if (inet_ntop(AF_INET, &Ip, Text, sizeof Text) == nullptr)
        return {};
    return Text;
}

std::string Utf8(const wchar_t *Wide)
{
    const int Size = ::WideCharToMultiByte(CP_UTF8, 0, Wide, -1, nullptr, 0, nullptr, nullptr);
    if (Size <= 1)
        return {};
    std::string Text(std::size_t(Size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, Wide, -1, Text.data(), Size, nullptr, nullptr);
    Text.resize(std::size_t(Size - 1));
    return Text;
}

// The adapters' friendly names by IPv4 address (network order); SIO_GET_INTERFACE_LIST has none.
std::map<ULONG, std::string> FriendlyNames()
{
    std::map<ULONG, std::string> Names;
    ULONG Size = 16384;
    std::vector<unsigned char> Buffer;
    for (int Tries = 0; Tries < 4; ++Tries) {
        Buffer.resize(Size);
        auto *First = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(Buffer.data());
        const ULONG Result = ::GetAdaptersAddresses(
            AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER, nullptr,
            First, &Size);
        if (Result == ERROR_BUFFER_OVERFLOW)
            continue;
        if (Result != NO_ERROR)
            return Names;
        for (const IP_ADAPTER_ADDRESSES *Adapter = First; Adapter; Adapter = Adapter->Next) {
            for (const IP_ADAPTER_UNICAST_ADDRESS *Unicast = Adapter->FirstUnicastAddress; Unicast;
                 Unicast = Unicast->Next) {
                const SOCKADDR *Address = Unicast->Address.lpSockaddr;
                if (Address && Address->sa_family == AF_INET)
                    Names[reinterpret_cast<const sockaddr_in *>(Address)->sin_addr.s_addr] =
                        Utf8(Adapter->FriendlyName);
            }
        }
        return Names;
    }
    return Names;
}

// Returns the records, or nullopt when the request fails for a reason other than size.
std::optional<std::vector<TInterfaceRecord>> AskSystem(SOCKET Socket, int *Failure)
{
    std::vector<INTERFACE_INFO> Area(FirstAreaSize / sizeof(INTERFACE_INFO) + 1);
    for (int Growth = 0; Growth <= MaxGrowths; ++Growth) {
        DWORD Written = 0;
        const DWORD AreaBytes = static_cast<DWORD>(Area.size() * sizeof(INTERFACE_INFO));
        if (WSAIoctl(Socket, SIO_GET_INTERFACE_LIST, nullptr, 0, Area.data(), AreaBytes, &Written, nullptr,
                     nullptr) == 0) {
            std::vector<TInterfaceRecord> Records;
            const std::map<ULONG, std::string> Names = FriendlyNames();
            const std::size_t Count = Written / sizeof(INTERFACE_INFO);
            for (std::size_t i = 0; i < Count; ++i) {
                const INTERFACE_INFO &Info = Area[i];
                TInterfaceRecord Record;
                if (Info.iiAddress.Address.sa_family == AF_INET) {
                    const auto Name = Names.find(Info.iiAddress.AddressIn.sin_addr.s_addr);
                    if (Name != Names.end())
                        Record.Name = Name->second;
                }
                Record.Address = DottedText(Info.iiAddress);
                Record.Netmask = DottedText(Info.iiNetmask);
                // The flag bits are the ones TInterfaceFlag names; others (multicast) are dropped.
                Record.Flags = Info.iiFlags & (iffUp | iffBroadcast | iffLoopBack | iffPointToPoint);
                if (Record.Flags & iffBroadcast)
                    Record.Broadcast = DottedText(Info.iiBroadcastAddress);
                Records.push_back(std::move(Record));
            }
            return Records;
        }
        const int Error = WSAGetLastError();
        if (Error != WSAEFAULT && Error != WSAENOBUFS) {
            if (Failure)
                *Failure = Error;
            return std::nullopt;
        }
        Area.resize(Area.size() * 2);
    }
    return std::nullopt;
}

} // namespace

std::optional<std::vector<TInterfaceRecord>> QueryInterfaces(int *Error)
{
    // Version 1.1 is enough for the interface list. The library is started and released, and
    // the socket opened and closed, within the call, also when a failure passes through.
    struct TScope {
        bool Started = false;
        SOCKET Socket = INVALID_SOCKET;
        ~TScope()
        {
            if (Socket != INVALID_SOCKET)
                closesocket(Socket);
            if (Started)
                WSACleanup();
        }
    } Scope;
    WSADATA Data;
    Scope.Started = WSAStartup(MAKEWORD(1, 1), &Data) == 0;
    Scope.Socket = socket(AF_INET, SOCK_STREAM, 0);
    if (Scope.Socket == INVALID_SOCKET) {
        if (Error)
            *Error = WSAGetLastError();
        return std::nullopt;
    }
    return AskSystem(Scope.Socket, Error);
}
