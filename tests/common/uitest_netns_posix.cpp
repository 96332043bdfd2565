#include "uitest_netns.h"

#include "BindHelper.h"

#include <QFile>

#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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

bool InPrivateNetns()
{
    const QByteArray Own = NetnsOf("self");
    return !Own.isEmpty() && !OuterNetns().isEmpty() && Own != OuterNetns();
}

bool SwitchOff(const QString &Link, const QString &)
{
    return Ip({"link", "set", Link, "down"});
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
    return syscall(SYS_capset, &Header, Data) == 0 && ::prctl(PR_SET_SECUREBITS, On ? 0 : SECBIT_NOROOT) == 0;
}

bool UseBindHelper(const QString &Path)
{
    SetBindHelperPath(Path.toStdString());
    return true;
}

namespace {
// The pids cgroup this process was moved into, and the one it came from.
QByteArray HeldIn, CameFrom;

bool WriteTo(const QByteArray &Path, const QByteArray &Value)
{
    QFile F(QString::fromLocal8Bit(Path));
    return F.open(QIODevice::WriteOnly) && F.write(Value) == Value.size() && F.flush();
}

QByteArray ReadFrom(const QByteArray &Path)
{
    QFile F(QString::fromLocal8Bit(Path));
    return F.open(QIODevice::ReadOnly) ? F.readAll().trimmed() : QByteArray();
}

// Where this process sits under Root: the pids line of cgroup v1, else v2's.
QByteArray CurrentGroup(const QByteArray &Root)
{
    const QByteArray Wanted = Root.endsWith("/pids") ? QByteArray(":pids:") : QByteArray("0::");
    for (const QByteArray &Line : ReadFrom("/proc/self/cgroup").split('\n')) {
        const qsizetype At = Line.indexOf(Wanted);
        if (At >= 0 && (Wanted != "0::" || At == 0))
            return Root + Line.mid(At + Wanted.size());
    }
    return Root;
}
} // namespace

bool HoldThreadCount(bool On)
{
    const QByteArray Pid = QByteArray::number(::getpid());
    if (!On) {
        if (HeldIn.isEmpty())
            return false;
        const bool Back = WriteTo(CameFrom + "/cgroup.procs", Pid);
        ::rmdir(HeldIn.constData());
        HeldIn.clear();
        return Back;
    }
    // The kernel's pids controller, as cgroup v1 mounts it here or v2 elsewhere.
    for (const QByteArray &Root : {QByteArray("/sys/fs/cgroup/pids"), QByteArray("/sys/fs/cgroup")}) {
        if (!QFile::exists(QString::fromLatin1(Root + "/cgroup.procs")))
            continue;
        const QByteArray Dir = Root + "/txl-test-" + Pid;
        if (::mkdir(Dir.constData(), 0755) != 0)
            continue;
        const QByteArray Before = CurrentGroup(Root);
        if (!QFile::exists(QString::fromLatin1(Dir + "/pids.max")) || !WriteTo(Dir + "/cgroup.procs", Pid)) {
            ::rmdir(Dir.constData());
            continue;
        }
        HeldIn = Dir;
        CameFrom = Before.endsWith('/') ? Before.chopped(1) : Before;
        if (WriteTo(Dir + "/pids.max", ReadFrom(Dir + "/pids.current")))
            return true;
        HoldThreadCount(false);
    }
    return false;
}

} // namespace uitest
