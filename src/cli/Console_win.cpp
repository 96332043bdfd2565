#include "Console.h"

#include "SocketPoll.h"

#include <windows.h>

#include <shellapi.h>

#include <atomic>

namespace {
std::atomic<bool> Caught{false};
TPollWake *Waker = nullptr;

HANDLE Handle(TStream Stream)
{
    return ::GetStdHandle(Stream == TStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

BOOL WINAPI OnControl(DWORD Type)
{
    // Runs on a thread of its own; the uploads notice the wake-up and end.
    if (Type != CTRL_C_EVENT && Type != CTRL_BREAK_EVENT && Type != CTRL_CLOSE_EVENT)
        return FALSE;
    Caught = true;
    if (Waker)
        Waker->Wake();
    return TRUE;
}
} // namespace

bool IsTerminal(TStream Stream)
{
    DWORD Mode = 0;
    return ::GetConsoleMode(Handle(Stream), &Mode) != 0;
}

std::vector<std::string> ProgramArguments(int, char *[])
{
    // argv holds the arguments in the ANSI code page; the wide command line holds them all
    // (Microsoft's documentation of GetCommandLineW and CommandLineToArgvW).
    std::vector<std::string> Arguments;
    int Count = 0;
    wchar_t **Wide = ::CommandLineToArgvW(::GetCommandLineW(), &Count);
    for (int i = 1; Wide && i < Count; ++i) {
        const int Size = ::WideCharToMultiByte(CP_UTF8, 0, Wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string Text(std::size_t(Size > 1 ? Size : 1), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, Wide[i], -1, Text.data(), Size, nullptr, nullptr);
        Text.resize(Text.size() - 1);
        Arguments.push_back(std::move(Text));
    }
    if (Wide)
        ::LocalFree(Wide);
    return Arguments;
}

bool WriteText(TStream Stream, std::string_view Text)
{
    // WriteConsoleW shows UTF-16 as it is, whatever the console's code page
    // (Microsoft's documentation of WriteConsole); redirected, the bytes are UTF-8.
    const HANDLE Out = Handle(Stream);
    DWORD Mode = 0, Written = 0;
    if (::GetConsoleMode(Out, &Mode)) {
        // Progress lines are redrawn with VT sequences (Windows 10 and later).
        ::SetConsoleMode(Out, Mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        const int Size = ::MultiByteToWideChar(CP_UTF8, 0, Text.data(), int(Text.size()), nullptr, 0);
        std::wstring Wide(std::size_t(Size > 0 ? Size : 0), L'\0');
        ::MultiByteToWideChar(CP_UTF8, 0, Text.data(), int(Text.size()), Wide.data(), Size);
        return ::WriteConsoleW(Out, Wide.data(), DWORD(Wide.size()), &Written, nullptr) &&
               Written == DWORD(Wide.size());
    }
    // A pipe whose reader is gone fails the write; that output is dropped.
    return ::WriteFile(Out, Text.data(), DWORD(Text.size()), &Written, nullptr) &&
           Written == DWORD(Text.size());
}

void HoldClosedStreams()
{
    // Nothing to hold: the streams are what GetStdHandle returns, NULL for one the process
    // lacks (Microsoft's documentation of GetStdHandle), and a write to that fails.
}

void CatchInterrupt(TPollWake &Wake)
{
    Waker = &Wake;
    ::SetConsoleCtrlHandler(OnControl, TRUE);
}

bool Interrupted()
{
    return Caught;
}

TAppendFile::TAppendFile(const std::string &Path)
{
    const int Size = ::MultiByteToWideChar(CP_UTF8, 0, Path.c_str(), -1, nullptr, 0);
    std::wstring Wide(std::size_t(Size > 0 ? Size : 1), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, Path.c_str(), -1, Wide.data(), Size);
    // FILE_APPEND_DATA alone: every write goes to the end of the file (Microsoft's documentation
    // of File Access Rights Constants), and other writers may share it.
    const HANDLE File = ::CreateFileW(Wide.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (File == INVALID_HANDLE_VALUE) {
        FError = "код " + std::to_string(::GetLastError());
        return;
    }
    FHandle = reinterpret_cast<std::intptr_t>(File);
}

TAppendFile::~TAppendFile()
{
    if (FHandle != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(FHandle));
}

bool TAppendFile::Append(std::string_view Line)
{
    const HANDLE File = reinterpret_cast<HANDLE>(FHandle);
    DWORD Written = 0;
    return ::WriteFile(File, Line.data(), DWORD(Line.size()), &Written, nullptr) &&
           Written == DWORD(Line.size()) && ::FlushFileBuffers(File);
}
