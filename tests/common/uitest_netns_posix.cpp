#include "uitest_netns.h"

#include <unistd.h>

namespace uitest {

QByteArray NetnsOf(const QByteArray &Pid)
{
    char Target[64] = {};
    const QByteArray Link = "/proc/" + Pid + "/ns/net";
    const ssize_t Len = ::readlink(Link.constData(), Target, sizeof Target - 1);
    return Len > 0 ? QByteArray(Target, int(Len)) : QByteArray();
}

QByteArray OuterNetns()
{
    return NetnsOf(QByteArray::number(::getppid()));
}

} // namespace uitest
