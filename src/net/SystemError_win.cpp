#include "Diagnosis.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>

#include <windows.h>

TSystemError DescribeSystemError(int Code)
{
    TSystemError Error{Code, {}, {}};
    static const struct {
        int Code;
        const char *Name;
    } Names[] = {{WSAENETUNREACH, "WSAENETUNREACH"},
                 {WSAEHOSTUNREACH, "WSAEHOSTUNREACH"},
                 {WSAENETDOWN, "WSAENETDOWN"},
                 {WSAEACCES, "WSAEACCES"},
                 {WSAENOBUFS, "WSAENOBUFS"},
                 {WSAEMFILE, "WSAEMFILE"},
                 {WSAEADDRNOTAVAIL, "WSAEADDRNOTAVAIL"}};
    for (const auto &Known : Names) {
        if (Known.Code == Code)
            Error.Name = Known.Name;
    }
    // The system's own words, in the language of the user's Windows.
    wchar_t *Text = nullptr;
    const DWORD Length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        DWORD(Code), 0, reinterpret_cast<wchar_t *>(&Text), 0, nullptr);
    if (Length) {
        const int Size = ::WideCharToMultiByte(CP_UTF8, 0, Text, int(Length), nullptr, 0, nullptr, nullptr);
        Error.Text.resize(std::size_t(Size > 0 ? Size : 0));
        ::WideCharToMultiByte(CP_UTF8, 0, Text, int(Length), Error.Text.data(), Size, nullptr, nullptr);
        while (!Error.Text.empty() && (Error.Text.back() == '\n' || Error.Text.back() == '\r' ||
                                       Error.Text.back() == ' ' || Error.Text.back() == '.'))
            Error.Text.pop_back();
    }
    if (Text)
        ::LocalFree(Text);
    return Error;
}
