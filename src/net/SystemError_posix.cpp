#include "Diagnosis.h"

#include <cerrno>
#include <cstring>

TSystemError DescribeSystemError(int Code)
{
    TSystemError Error{Code, {}, {}};
    // The codes a refused send or an interface look-up meets, by the names users look up.
    static const struct {
        int Code;
        const char *Name;
    } Names[] = {{ENETUNREACH, "ENETUNREACH"},
                 {EHOSTUNREACH, "EHOSTUNREACH"},
                 {ENETDOWN, "ENETDOWN"},
                 {EPERM, "EPERM"},
                 {EACCES, "EACCES"},
                 {ENOBUFS, "ENOBUFS"},
                 {EMFILE, "EMFILE"},
                 {ENFILE, "ENFILE"},
                 {ENOMEM, "ENOMEM"},
                 {ENODEV, "ENODEV"},
                 {EADDRNOTAVAIL, "EADDRNOTAVAIL"}};
    for (const auto &Known : Names) {
        if (Known.Code == Code)
            Error.Name = Known.Name;
    }
    char Buffer[256] = {};
    // The GNU strerror_r gives its text back, perhaps in a buffer of its own.
    Error.Text = ::strerror_r(Code, Buffer, sizeof Buffer);
    return Error;
}
