#pragma once

// The simulated device: the simulator (path in TXL_SIM) as a real process, on
// an address of the test's own namespace, or behind a veth pair in a network
// namespace of its own. Its packet log, received file and JSON summaries are
// read back here.

#include "uitest_netns.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <vector>

// A limit per attempt for the tests that wait out a device that does not
// answer; the product's 3,000 ms is proven once, by the client's own tests.
inline constexpr int ShortTimeoutMs = 500;

struct SimPacket {
    double Ms = 0;
    int Opcode = 0;
    int Block = -1;
    int Length = 0;
    QString Action;
};

class TSimDevice
{
public:
    ~TSimDevice() { Close(); }

    // Puts the device behind a cable: PcName gets PcCidr here, its peer moves
    // into a namespace of its own with DevCidr. The namespace is held open by a
    // small shell that reads its stdin, so it ends when this process goes, even
    // if the test crashes.
    bool Open(const QString &PcName, const QString &PcCidr, const QString &DevCidr)
    {
        using uitest::Ip;
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
        // Bounded check that the holder's namespace is not ours.
        while (uitest::NetnsOf(FHolderPid) == uitest::NetnsOf("self") && !Deadline.hasExpired())
            QThread::msleep(10);
        // One ip on each side: under Wine each program run is a round trip through a stand-in.
        return Ip({"-batch", "-"}, nullptr,
                  QStringLiteral(
                      "link add %1 type veth peer name %2\nlink set %2 netns %3\naddr add %4 dev %1\n"
                      "link set %1 up\n")
                      .arg(PcName, DevName, QString::fromLatin1(FHolderPid), PcCidr)
                      .toUtf8()) &&
               uitest::Run(
                   QStringLiteral("nsenter"), {NetnsArg(), "--", "ip", "-batch", "-"}, nullptr, 10000,
                   QStringLiteral("addr add %1 dev %2\nlink set %2 up\n").arg(DevCidr, DevName).toUtf8());
    }

    // Runs ip in the device's namespace: its end of the cable is PcName + "d".
    bool DeviceIp(const QStringList &Args)
    {
        return uitest::Run(QStringLiteral("nsenter"), QStringList{NetnsArg(), "--", "ip"} + Args);
    }

    // Starts the simulator bound to Address:69 and waits until it listens.
    bool Start(const QString &Address, const QStringList &Extra = {})
    {
        const QString Sim = qEnvironmentVariable("TXL_SIM");
        if (Sim.isEmpty() || !FDir.isValid() ||
            (!FHolderPid.isEmpty() && FHolder.state() != QProcess::Running))
            return false;
        Finish();
        QFile::remove(LogPath());
        QFile::remove(OutPath());
        FErr.clear();
        FOut.clear();
        const QStringList Args =
            QStringList{"--bind", Address, "--log", LogPath(), "--out", OutPath(), "--idle-timeout", "60"} +
            Extra;
        if (FHolderPid.isEmpty())
            FSim.start(Sim, Args);
        else
            FSim.start(QStringLiteral("nsenter"), QStringList{NetnsArg(), "--", Sim} + Args);
        if (!FSim.waitForStarted(5000)) {
            FErr += "the simulator did not start: " + FSim.errorString().toLocal8Bit();
            return false;
        }
        FStarted = true;
        const QDeadlineTimer Deadline(5000);
        while (!FErr.contains("listening ") && !Deadline.hasExpired()) {
            if (FSim.state() != QProcess::Running)
                break;
            FSim.waitForReadyRead(50);
            FErr += FSim.readAllStandardError();
        }
        if (FErr.contains("listening "))
            return true;
        // Say why, for the failure message.
        FErr += FSim.readAllStandardError();
        FErr += FSim.state() == QProcess::Running
                    ? QByteArray("\n(no \"listening\" within 5 s)")
                    : "\n(it ended with status " + QByteArray::number(FSim.exitCode()) + ")";
        return false;
    }

    // Ends the simulator (it prints its summary when asked to stop) and returns its last summary.
    QJsonObject Finish()
    {
        if (FStarted) {
            if (FSim.state() != QProcess::NotRunning) {
                FSim.terminate();
                AwaitEnd(FSim, 5000);
            }
            FErr += FSim.readAllStandardError();
            FOut += FSim.readAllStandardOutput();
        }
        FStarted = false;
        const QList<QByteArray> Lines = Summaries();
        return Lines.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(Lines.last()).object();
    }

    // Every summary line printed so far (complete after Finish).
    QList<QByteArray> Summaries() const { return FOut.trimmed().split('\n'); }
    int ExitCode() const { return FSim.exitCode(); }
    QString Errors() const { return QString::fromLocal8Bit(FErr); }

    // The log's actions in order, once it holds Count lines (bounded wait).
    QStringList Actions(int Count) const
    {
        QStringList Result;
        for (int i = 0; i < 100; ++i) {
            Result.clear();
            for (const SimPacket &P : Packets())
                Result << P.Action;
            if (Result.size() >= Count)
                break;
            QThread::msleep(20);
        }
        return Result;
    }

    std::vector<SimPacket> Packets() const
    {
        std::vector<SimPacket> Result;
        QFile File(LogPath());
        if (!File.open(QIODevice::ReadOnly))
            return Result;
        for (const QByteArray &Line : File.readAll().split('\n')) {
            const QList<QByteArray> F = Line.simplified().split(' ');
            if (F.size() < 5)
                continue;
            Result.push_back({F[0].toDouble(), F[1].toInt(), F[2] == "-" ? -1 : F[2].toInt(), F[3].toInt(),
                              QString::fromLatin1(F[4])});
        }
        return Result;
    }

    // Write requests the device took: one per upload that reached it.
    int WriteRequests() const
    {
        int Count = 0;
        for (const SimPacket &P : Packets())
            Count += P.Opcode == 2 && P.Action != QStringLiteral("drop");
        return Count;
    }

    QByteArray Received() const
    {
        QFile File(OutPath());
        return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
    }

    void Close()
    {
        Finish();
        if (FHolder.state() != QProcess::NotRunning) {
            FHolder.closeWriteChannel();
            AwaitEnd(FHolder, 3000);
        }
        // The pair goes with the device namespace; remove our end in case it did not.
        if (!FPcName.isEmpty())
            uitest::Run(QStringLiteral("ip"), {"link", "del", FPcName}, nullptr, 3000);
        FPcName.clear();
        FHolderPid.clear();
    }

private:
    // Waits for the process to end once asked to, killing it after Ms.
    static void AwaitEnd(QProcess &P, int Ms)
    {
        if (!P.waitForFinished(Ms)) {
            P.kill();
            P.waitForFinished(2000);
        }
    }
    QString NetnsArg() const
    {
        return QStringLiteral("--net=/proc/%1/ns/net").arg(QString::fromLatin1(FHolderPid));
    }
    QString LogPath() const { return FDir.filePath(QStringLiteral("packets.log")); }
    QString OutPath() const { return FDir.filePath(QStringLiteral("received.bin")); }

    QTemporaryDir FDir;
    QProcess FHolder;
    QByteArray FHolderPid;
    QString FPcName;
    QProcess FSim;
    bool FStarted = false;
    QByteArray FErr;
    QByteArray FOut;
};
