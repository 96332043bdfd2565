#include "InputGuard.h"

#include <windows.h>

namespace {
// What may act on a control: key-down (repeats too), a button down or double-clicked, in the
// window or on its frame, the wheel. A release or a move acts on nothing without its press,
// and a key's release tells the guard that the key is up.
bool IsPress(UINT Message)
{
    switch (Message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK:
    case WM_XBUTTONDOWN:
    case WM_XBUTTONDBLCLK:
    case WM_NCLBUTTONDOWN:
    case WM_NCLBUTTONDBLCLK:
    case WM_NCRBUTTONDOWN:
    case WM_NCRBUTTONDBLCLK:
    case WM_NCMBUTTONDOWN:
    case WM_NCMBUTTONDBLCLK:
    case WM_NCXBUTTONDOWN:
    case WM_NCXBUTTONDBLCLK:
    case WM_MOUSEWHEEL:
    case WM_MOUSEHWHEEL:
        return true;
    default:
        return false;
    }
}
} // namespace

// A message's time is when the system put it in the thread's queue, in the milliseconds
// GetTickCount counts since the system started; times are compared by their difference, which
// ignores the wrap (Microsoft's documentation of GetMessageTime).
quint32 TInputGuard::InputClockMs()
{
    return GetTickCount();
}

bool TInputGuard::nativeEventFilter(const QByteArray &, void *Message, qintptr *)
{
    // Qt stamps the events it makes of these with its own clock when it handles them, which may
    // be long after they were given (seen under Wine): the message's own time tells.
    const MSG *Msg = static_cast<const MSG *>(Message);
    return IsPress(Msg->message) && quint32(Msg->time - FBusySince) < FBusyMs;
}
