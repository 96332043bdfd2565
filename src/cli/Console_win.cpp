#include "Console.h"

#include <windows.h>

namespace {
HANDLE InterruptEvent = nullptr;
HANDLE WakeEvent = nullptr;

HANDLE Handle(TStream Stream)
{
    return ::GetStdHandle(Stream == TStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

BOOL WINAPI OnControl(DWORD Type)
{
    // Runs on a thread of its own; the uploads notice the event and end.
    if (Type != CTRL_C_EVENT && Type != CTRL_BREAK_EVENT && Type != CTRL_CLOSE_EVENT)
        return FALSE;
    ::SetEvent(InterruptEvent);
    return TRUE;
}
} // namespace

bool IsTerminal(TStream Stream)
{
    DWORD Mode = 0;
    return ::GetConsoleMode(Handle(Stream), &Mode) != 0;
}

void WriteText(TStream Stream, const QString &Text)
{
    // WriteConsoleW shows UTF-16 as it is, whatever the console's code page
    // (Microsoft's documentation of WriteConsole); redirected, the bytes are UTF-8.
    const HANDLE Out = Handle(Stream);
    DWORD Mode = 0, Written = 0;
    if (::GetConsoleMode(Out, &Mode)) {
        // Progress lines are redrawn with VT sequences (Windows 10 and later).
        ::SetConsoleMode(Out, Mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        const std::wstring Wide = Text.toStdWString();
        ::WriteConsoleW(Out, Wide.data(), DWORD(Wide.size()), &Written, nullptr);
        return;
    }
    const QByteArray Bytes = Text.toUtf8();
    ::WriteFile(Out, Bytes.constData(), DWORD(Bytes.size()), &Written, nullptr);
}

void CatchInterrupt()
{
    InterruptEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WakeEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(OnControl, TRUE);
}

bool WaitForInterrupt(int Ms)
{
    const HANDLE Events[2] = {InterruptEvent, WakeEvent};
    ::WaitForMultipleObjects(2, Events, FALSE, DWORD(Ms));
    return ::WaitForSingleObject(InterruptEvent, 0) == WAIT_OBJECT_0;
}

void WakeWaiter()
{
    ::SetEvent(WakeEvent);
}
