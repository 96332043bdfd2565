#pragma once

// The test's own network namespace: running ip and other programs in it,
// making and removing interfaces, and making sure it is not the host's.

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

// The network namespace of process Pid ("self": this one) as /proc names it; empty when
// unknown. OuterNetns is the one this process must not be in: the parent's, which
// in-netns.sh left behind. Both come from uitest_netns_<platform>.cpp.
QByteArray NetnsOf(const QByteArray &Pid);
QByteArray OuterNetns();
// Gives or takes this thread's privilege to bind ports below 1024, as for a
// user without it: programs it starts then gain nothing for being root, only
// what their files carry. False where there is no such privilege to take.
bool SetBindPrivilege(bool On);
// Makes the client run the port-69 helper at Path (empty: its own); false
// where it runs none.
bool UseBindHelper(const QString &Path);
// Keeps this process from starting any more threads (On), as a user's process
// limit would, or lets it again; false where the system offers no such limit.
bool HoldThreadCount(bool On);

// True when this process has a network namespace of its own (not its
// parent's, as in-netns.sh sets up) with nothing in it but loopback yet.
// Everything here creates interfaces and sends to private addresses, which
// must never happen in the host's namespace.
inline bool InPrivateNetns()
{
    const QByteArray Own = NetnsOf("self"), Parent = OuterNetns();
    QString Links;
    return !Own.isEmpty() && !Parent.isEmpty() && Own != Parent && Ip({"-o", "link", "show"}, &Links) &&
           Links.trimmed().count(QLatin1Char('\n')) == 0 && Links.contains(QStringLiteral(": lo:"));
}

// What the main window will find. Interface changes made just before can take
// a moment to show in the system's table, so tests wait for this first.
inline int UsableInterfaces()
{
    TNetInterfaceList List;
    List.Refresh();
    return List.Count();
}

// The interfaces a test made, for its cleanup to remove again.
struct TMadeInterfaces {
    QStringList Names;
    // A usable interface: one end of a veth pair carries the address (CIDR), both ends up.
    // The peer has no address, so only Name shows up in the interface list.
    bool Add(const QString &Name, const QString &AddressCidr)
    {
        Names << Name; // a pair made halfway is removed as well
        // One ip for the four steps: under Wine each program run is a round trip through a stand-in.
        return Ip({"-batch", "-"}, nullptr,
                  QStringLiteral("link add %1 type veth peer name %1p\naddr add %2 dev %1\nlink set %1 up\n"
                                 "link set %1p up\n")
                      .arg(Name, AddressCidr)
                      .toUtf8());
    }
    void RemoveAll()
    {
        // Deleting one end of a veth pair removes both.
        for (const QString &Name : std::as_const(Names))
            Ip({"link", "del", Name});
        Names.clear();
    }
};

} // namespace uitest
