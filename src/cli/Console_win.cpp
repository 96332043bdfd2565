#include "Console.h"

#include "SocketPoll.h"

#include <windows.h>

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

bool WriteText(TStream Stream, const QString &Text)
{
    // WriteConsoleW shows UTF-16 as it is, whatever the console's code page
    // (Microsoft's documentation of WriteConsole); redirected, the bytes are UTF-8.
    const HANDLE Out = Handle(Stream);
    DWORD Mode = 0, Written = 0;
    if (::GetConsoleMode(Out, &Mode)) {
        // Progress lines are redrawn with VT sequences (Windows 10 and later).
        ::SetConsoleMode(Out, Mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        const std::wstring Wide = Text.toStdWString();
        return ::WriteConsoleW(Out, Wide.data(), DWORD(Wide.size()), &Written, nullptr) &&
               Written == DWORD(Wide.size());
    }
    // A pipe whose reader is gone fails the write; that output is dropped.
    const QByteArray Bytes = Text.toUtf8();
    return ::WriteFile(Out, Bytes.constData(), DWORD(Bytes.size()), &Written, nullptr) &&
           Written == DWORD(Bytes.size());
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
