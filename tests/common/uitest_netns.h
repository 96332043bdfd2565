#pragma once

// Helpers for the user-interface tests: interfaces in the test's own network
// namespace, the simulated device in a namespace of its own behind a veth
// pair, and a driver for modal windows opened inside nested event loops.

#include "InterfaceInfo.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace uitest {

// Runs a program to its end, at most TimeoutMs; true when it exits with 0.
inline bool Run(const QString &Program, const QStringList &Args, QString *Output = nullptr,
                int TimeoutMs = 10000)
{
    QProcess P;
    P.setProcessChannelMode(QProcess::MergedChannels);
    P.start(Program, Args);
    if (!P.waitForFinished(TimeoutMs)) {
        P.kill();
        P.waitForFinished(1000);
        return false;
    }
    if (Output)
        *Output = QString::fromLocal8Bit(P.readAll());
    return P.exitStatus() == QProcess::NormalExit && P.exitCode() == 0;
}

inline bool Ip(const QStringList &Args, QString *Output = nullptr)
{
    return Run(QStringLiteral("ip"), Args, Output);
}

// The network namespace of process Pid ("self": this one) as /proc names it; empty when
// unknown. OuterNetns is the one this process must not be in: the parent's, which
// in-netns.sh left behind. Both come from uitest_netns_<platform>.cpp.
QByteArray NetnsOf(const QByteArray &Pid);
QByteArray OuterNetns();
// Gives or takes this thread's privilege to bind ports below 1024; false
// where there is no such privilege to take.
bool SetBindPrivilege(bool On);

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

// A usable interface: one end of a veth pair carries the address (CIDR), both ends up.
// The peer has no address, so only Name shows up in the interface list.
inline bool AddInterface(const QString &Name, const QString &AddressCidr)
{
    const QString Peer = Name + QStringLiteral("p");
    return Ip({"link", "add", Name, "type", "veth", "peer", "name", Peer}) &&
           Ip({"addr", "add", AddressCidr, "dev", Name}) && Ip({"link", "set", Name, "up"}) &&
           Ip({"link", "set", Peer, "up"});
}

// What the main window will find. Interface changes made just before can take
// a moment to show in the system's table, so tests wait for this first.
inline int UsableInterfaces()
{
    TNetInterfaceList List;
    List.Refresh();
    return List.Count();
}

// Deleting one end of a veth pair removes both.
inline void RemoveInterface(const QString &Name)
{
    Ip({"link", "del", Name});
}

inline QString SourceDir()
{
    return qEnvironmentVariable("TXL_SOURCE_DIR");
}

inline QString FirmwareSha256()
{
    QFile F(SourceDir() + QStringLiteral("/firmware/ZRM-40K_06_V48.xfw"));
    if (!F.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(QCryptographicHash::hash(F.readAll(), QCryptographicHash::Sha256).toHex());
}

// The device: a network namespace held open by a small shell, linked to this
// namespace by a veth pair, and the simulator started inside it. The holder
// reads its stdin, so it ends (and its namespace with it) when this process
// goes, even if the test crashes.
class TSimDevice
{
public:
    TSimDevice() = default;
    TSimDevice(const TSimDevice &) = delete;
    TSimDevice &operator=(const TSimDevice &) = delete;
    ~TSimDevice() { Close(); }

    // PcName gets PcCidr here; its peer moves into the device namespace with DevCidr.
    bool Open(const QString &PcName, const QString &PcCidr, const QString &DevCidr)
    {
        FPcName = PcName;
        FHolder.start(QStringLiteral("unshare"),
                      {"--net", "--", "sh", "-c", "ip link set lo up; echo $$; read _"});
        if (!FHolder.waitForStarted(5000))
            return false;
        // The holder names its pid itself: under Wine processId() is a Windows one.
        const QDeadlineTimer Deadline(5000);
        while (!FHolder.canReadLine() && FHolder.state() == QProcess::Running && !Deadline.hasExpired())
            FHolder.waitForReadyRead(100);
        FHolderPid = FHolder.readLine().trimmed();
        if (FHolderPid.isEmpty())
            return false;
        const QString DevName = PcName + QStringLiteral("d");
        const QString Ns = QStringLiteral("--net=/proc/%1/ns/net").arg(QString::fromLatin1(FHolderPid));
        // Bounded check that the holder's namespace is not ours.
        while (NetnsOf(FHolderPid) == NetnsOf("self") && !Deadline.hasExpired())
            QThread::msleep(10);
        return Ip({"link", "add", PcName, "type", "veth", "peer", "name", DevName}) &&
               Ip({"link", "set", DevName, "netns", QString::fromLatin1(FHolderPid)}) &&
               Ip({"addr", "add", PcCidr, "dev", PcName}) && Ip({"link", "set", PcName, "up"}) &&
               Run("nsenter", {Ns, "ip", "addr", "add", DevCidr, "dev", DevName}) &&
               Run("nsenter", {Ns, "ip", "link", "set", DevName, "up"});
    }

    // Starts the simulator bound to Address:69 in the device namespace and
    // waits until it reports that it listens.
    bool StartSim(const QString &Address, const QStringList &Extra = {})
    {
        const QString Sim = qEnvironmentVariable("TXL_SIM");
        if (Sim.isEmpty() || FHolder.state() != QProcess::Running)
            return false;
        FSimErr.clear();
        FSim.start(QStringLiteral("nsenter"),
                   QStringList{QStringLiteral("--net=/proc/%1/ns/net").arg(QString::fromLatin1(FHolderPid)),
                               "--", Sim, "--bind", Address, "--idle-timeout", "60"} +
                       Extra);
        if (!FSim.waitForStarted(5000))
            return false;
        FSimStarted = true;
        const QDeadlineTimer Deadline(5000);
        while (!FSimErr.contains("listening ") && !Deadline.hasExpired()) {
            if (FSim.state() != QProcess::Running)
                return false;
            FSim.waitForReadyRead(100);
            FSimErr += FSim.readAllStandardError();
        }
        return FSimErr.contains("listening ");
    }

    // Ends the simulator (it prints its summary when asked to stop) and returns that summary.
    QJsonObject StopSim()
    {
        if (!FSimStarted)
            return {};
        FSimStarted = false;
        if (FSim.state() != QProcess::NotRunning) {
            FSim.terminate();
            if (!FSim.waitForFinished(5000)) {
                FSim.kill();
                FSim.waitForFinished(2000);
            }
        }
        FSimErr += FSim.readAllStandardError();
        const QByteArray Out = FSim.readAllStandardOutput().trimmed();
        const QByteArray Last = Out.mid(Out.lastIndexOf('\n') + 1);
        return QJsonDocument::fromJson(Last).object();
    }

    QString SimErrors() const { return QString::fromLocal8Bit(FSimErr); }

    void Close()
    {
        StopSim();
        if (FHolder.state() != QProcess::NotRunning) {
            FHolder.closeWriteChannel();
            if (!FHolder.waitForFinished(3000)) {
                FHolder.kill();
                FHolder.waitForFinished(2000);
            }
        }
        // The pair goes with the device namespace; remove our end in case it did not.
        if (!FPcName.isEmpty())
            Run("ip", {"link", "del", FPcName}, nullptr, 3000);
        FPcName.clear();
    }

private:
    QProcess FHolder;
    QByteArray FHolderPid;
    QProcess FSim;
    QByteArray FSimErr;
    bool FSimStarted = false;
    QString FPcName;
};

// Acts once on the first visible modal window, from a timer, because the
// window is opened by exec() inside a nested event loop the test cannot see
// into. Gives up after TimeoutMs.
class TModalDriver : public QObject
{
public:
    using TAction = std::function<void(QWidget *Modal)>;

    explicit TModalDriver(TAction Action, int TimeoutMs = 10000) : FAction(std::move(Action))
    {
        FTicksLeft = TimeoutMs / TickMs;
        FTimer.setInterval(TickMs);
        connect(&FTimer, &QTimer::timeout, this, [this] { Tick(); });
        FTimer.start();
    }

    bool Done() const { return FDone; }
    QString ModalClass() const { return FClass; }

private:
    static constexpr int TickMs = 20;

    void Tick()
    {
        QWidget *Modal = QApplication::activeModalWidget();
        if (Modal && Modal->isVisible()) {
            FTimer.stop();
            FClass = QString::fromLatin1(Modal->metaObject()->className());
            FDone = true;
            FAction(Modal);
        } else if (--FTicksLeft <= 0) {
            FTimer.stop();
        }
    }

    TAction FAction;
    QTimer FTimer;
    int FTicksLeft = 0;
    bool FDone = false;
    QString FClass;
};

} // namespace uitest
