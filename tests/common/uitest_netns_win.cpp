#include "uitest_netns.h"

// Under Wine this program cannot read /proc itself: readlink runs as a Linux program through
// its stand-in (tests/wine), started by host_bridge.py in this program's own namespace.

namespace uitest {

namespace {
QByteArray ReadLink(const QString &Path)
{
    QString Target;
    return Run(QStringLiteral("readlink"), {Path}, &Target) ? Target.trimmed().toLatin1() : QByteArray();
}
} // namespace

QByteArray NetnsOf(const QByteArray &Pid)
{
    // "self" is readlink itself, which runs in this program's namespace.
    return ReadLink(QStringLiteral("/proc/%1/ns/net").arg(QString::fromLatin1(Pid)));
}

QByteArray OuterNetns()
{
    // The parent of a Wine process is no Linux process: wine-run.sh names its own parent's.
    return qgetenv("TXL_OUTER_NETNS");
}

bool SetBindPrivilege(bool)
{
    return false; // Windows needs no privilege for port 69
}

bool UseBindHelper(const QString &)
{
    return false; // no helper: any user may bind port 69
}

bool HoldThreadCount(bool)
{
    return false; // no per-process thread limit to set from here
}

} // namespace uitest
