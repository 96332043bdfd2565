// A Windows stand-in for one Linux program, for test programs under Wine.
//
// Wine starts a Linux program from CreateProcess but gives no process handle for it, so a
// test can neither wait for it nor read its exit status. Copied under the Linux program's
// name (tftpsim.exe), this program asks host_bridge.py (same network namespace, 127.0.0.1,
// port in TXL_HOST_BRIDGE_PORT) to run the real one, and relays standard input, output and
// error and the exit status. QProcess::terminate() posts WM_CLOSE to the main thread; that
// becomes SIGTERM for the Linux program, whose last output still comes through.
//
// Frames both ways: one type byte, a 4-byte little-endian length, the data.
// To the bridge: 'i' input, 'c' input closed, 't' terminate. From it: 'o', 'e', 'x' (status).

// winsock2.h must come before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

SOCKET Bridge = INVALID_SOCKET;
CRITICAL_SECTION SendLock;

// Moves all Len bytes through Step (send or recv); false once the bridge is gone.
template <typename TStep, typename TChar> bool Whole(TStep Step, TChar *Data, int Len)
{
    while (Len > 0) {
        const int n = Step(Bridge, Data, Len, 0);
        if (n <= 0)
            return false;
        Data += n;
        Len -= n;
    }
    return true;
}

bool SendFrame(char Type, const char *Data, std::uint32_t Len)
{
    char Header[5] = {Type, char(Len), char(Len >> 8), char(Len >> 16), char(Len >> 24)};
    EnterCriticalSection(&SendLock);
    const bool Ok = Whole(send, Header, 5) && Whole(send, Data, int(Len));
    LeaveCriticalSection(&SendLock);
    return Ok;
}

std::string Utf8(const wchar_t *Text)
{
    const int Len = WideCharToMultiByte(CP_UTF8, 0, Text, -1, nullptr, 0, nullptr, nullptr);
    std::string Out(Len > 0 ? Len - 1 : 0, '\0');
    if (Len > 1)
        WideCharToMultiByte(CP_UTF8, 0, Text, -1, Out.data(), Len, nullptr, nullptr);
    return Out;
}

DWORD WINAPI PumpInput(void *)
{
    const HANDLE In = GetStdHandle(STD_INPUT_HANDLE);
    char Buffer[4096];
    DWORD n = 0;
    while (In != nullptr && In != INVALID_HANDLE_VALUE && ReadFile(In, Buffer, sizeof Buffer, &n, nullptr) &&
           n > 0) {
        if (!SendFrame('i', Buffer, n))
            return 0;
    }
    SendFrame('c', nullptr, 0);
    return 0;
}

void WriteOut(DWORD Which, const std::vector<char> &Data)
{
    const HANDLE Out = GetStdHandle(Which);
    DWORD Done = 0;
    for (std::size_t At = 0; At < Data.size(); At += Done) {
        if (!WriteFile(Out, Data.data() + At, DWORD(Data.size() - At), &Done, nullptr) || Done == 0)
            return;
    }
}

DWORD WINAPI PumpOutput(void *)
{
    for (;;) {
        char Header[5];
        if (!Whole(recv, Header, 5))
            ExitProcess(125);
        const std::uint32_t Len = std::uint8_t(Header[1]) | std::uint8_t(Header[2]) << 8 |
                                  std::uint8_t(Header[3]) << 16 |
                                  std::uint32_t(std::uint8_t(Header[4])) << 24;
        std::vector<char> Data(Len);
        if (Len > (1u << 24) || !Whole(recv, Data.data(), int(Len)))
            ExitProcess(125);
        if (Header[0] == 'o')
            WriteOut(STD_OUTPUT_HANDLE, Data);
        else if (Header[0] == 'e')
            WriteOut(STD_ERROR_HANDLE, Data);
        else if (Header[0] == 'x' && Len == 4)
            ExitProcess(std::uint8_t(Data[0]) | std::uint8_t(Data[1]) << 8 | std::uint8_t(Data[2]) << 16 |
                        std::uint32_t(std::uint8_t(Data[3])) << 24);
    }
}

} // namespace

int main()
{
    MSG Msg;
    // The thread's message queue must exist before anyone posts WM_CLOSE to it.
    PeekMessageW(&Msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    InitializeCriticalSection(&SendLock);

    const char *Port = std::getenv("TXL_HOST_BRIDGE_PORT");
    WSADATA WsaData;
    if (Port == nullptr || WSAStartup(MAKEWORD(2, 2), &WsaData) != 0) {
        std::fprintf(stderr, "hostcmd: TXL_HOST_BRIDGE_PORT is not set\n");
        return 126;
    }
    Bridge = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in To{};
    To.sin_family = AF_INET;
    To.sin_port = htons(std::uint16_t(std::atoi(Port)));
    To.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (Bridge == INVALID_SOCKET || connect(Bridge, reinterpret_cast<sockaddr *>(&To), sizeof To) != 0) {
        std::fprintf(stderr, "hostcmd: no bridge at 127.0.0.1:%s\n", Port);
        return 126;
    }

    // Header: working directory, own name (the program to run), arguments; each ends with NUL.
    wchar_t Path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, Path, MAX_PATH);
    std::wstring Name(Path);
    Name = Name.substr(Name.find_last_of(L"\\/") + 1);
    if (Name.size() > 4 && _wcsicmp(Name.c_str() + Name.size() - 4, L".exe") == 0)
        Name.resize(Name.size() - 4);
    wchar_t Cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, Cwd);
    std::string Header = Utf8(Cwd) + '\0' + Utf8(Name.c_str()) + '\0';
    int Argc = 0;
    wchar_t **Argv = CommandLineToArgvW(GetCommandLineW(), &Argc);
    for (int i = 1; Argv != nullptr && i < Argc; ++i)
        Header += Utf8(Argv[i]) + '\0';
    if (!SendFrame('h', Header.data(), std::uint32_t(Header.size())))
        return 125;

    CreateThread(nullptr, 0, PumpOutput, nullptr, 0, nullptr);
    CreateThread(nullptr, 0, PumpInput, nullptr, 0, nullptr);
    // Ends when the bridge reports the exit status (PumpOutput leaves the process).
    while (GetMessageW(&Msg, nullptr, 0, 0) > 0) {
        if (Msg.message == WM_CLOSE)
            SendFrame('t', nullptr, 0);
    }
    return 125;
}
