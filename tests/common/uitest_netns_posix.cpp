#include "uitest_netns.h"

#include <linux/capability.h>
#include <sys/syscall.h>
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

bool SetBindPrivilege(bool On)
{
    // Only the effective set changes; the permitted set keeps the capability,
    // so it can come back.
    __user_cap_header_struct Header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct Data[2] = {};
    if (syscall(SYS_capget, &Header, Data) != 0)
        return false;
    const unsigned Bit = 1u << (CAP_NET_BIND_SERVICE % 32);
    auto &Effective = Data[CAP_NET_BIND_SERVICE / 32].effective;
    Effective = On ? Effective | Bit : Effective & ~Bit;
    return syscall(SYS_capset, &Header, Data) == 0;
}

} // namespace uitest
