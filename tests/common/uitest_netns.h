#pragma once

// The test's own network namespace: running ip and other programs in it, what the lab made there,
// and making sure it is not the host's.

#include "InterfaceInfo.h"

#include <QProcess>
#include <QStringList>

namespace uitest {

// Runs a program to its end, at most TimeoutMs, Input on its stdin; true when
// it exits with 0. Output gets what it printed on both channels.
inline bool Run(const QString &Program, const QStringList &Args, QString *Output = nullptr,
                int TimeoutMs = 10000, const QByteArray &Input = {})
{
    QProcess P;
    P.setProcessChannelMode(QProcess::MergedChannels);
    P.start(Program, Args);
    P.write(Input);
    P.closeWriteChannel();
    if (!P.waitForFinished(TimeoutMs)) {
        P.kill();
        P.waitForFinished(1000);
        return false;
    }
    if (Output)
        *Output = QString::fromLocal8Bit(P.readAll());
    return P.exitStatus() == QProcess::NormalExit && P.exitCode() == 0;
}

inline bool Ip(const QStringList &Args, QString *Output = nullptr, const QByteArray &Input = {})
{
    return Run(QStringLiteral("ip"), Args, Output, 10000, Input);
}

// The network namespace of process Pid ("self": this one) as /proc names it, empty when unknown;
// and the one this process must not be in, which tests/common/in-netns.sh left.
QByteArray NetnsOf(const QByteArray &Pid);
inline QByteArray OuterNetns()
{
    return qgetenv("TXL_OUTER_NETNS");
}
// True when this process has a network namespace of its own, not the one in-netns.sh left:
// everything here sends to private addresses, which must never happen in the host's namespace.
bool InPrivateNetns();
// Gives or takes this thread's privilege to bind ports below 1024, as for a
// user without it: programs it starts then gain nothing for being root, only
// what their files carry. False where there is no such privilege to take.
bool SetBindPrivilege(bool On);
// Makes the client run the port-69 helper at Path (empty: its own); false where it runs none.
bool UseBindHelper(const QString &Path);
// Keeps this process from starting any more threads (On), as a user's process
// limit would, or lets it again; false where the system offers no such limit.
bool HoldThreadCount(bool On);

// What the main window will find. Interface changes made just before can take
// a moment to show in the system's table, so tests wait for this first.
inline int UsableInterfaces()
{
    TNetInterfaceList List;
    List.Refresh();
    return List.Count();
}

// The usable addresses the row's lab line made here, in the order made (tests/lab/net.sh).
inline QStringList LabAddresses()
{
    return qEnvironmentVariable("LAB_ADDRESSES").split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// Switches off the card Link, which holds Address, in the middle of a test, and returns once the
// interface list no longer offers Address.
bool SwitchOff(const QString &Link, const QString &Address);

} // namespace uitest
