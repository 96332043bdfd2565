#pragma once

// The simulated device: the simulator (path in TXL_SIM) as a real process. What it got is read
// from its files: its packet log, the file received and its JSON summaries. Either a row's lab line
// started it (DeviceLab; its files in TXL_LAB_DIR) and the test only observes it, or the test
// starts it itself (Start: the simulator's own tests).

#include "ShortLimit.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <vector>

struct SimPacket {
    double Ms = 0;
    int Opcode = 0;
    int Block = -1;
    int Length = 0;
    QString Action;
};

// The lab line that starts device Name at Address in the namespace Netns (-: the test's own).
inline QString DeviceLab(const QStringList &Args, const QString &Address = QStringLiteral("192.168.0.200"),
                         const QString &Name = QStringLiteral("device"),
                         const QString &Netns = QStringLiteral("-"))
{
    QString Line = QStringLiteral("lab_sim_at %1 %2 %3").arg(Name, Netns, Address);
    for (const QString &Arg : Args)
        Line += QStringLiteral(" '") + Arg + QLatin1Char('\'');
    return Line;
}

class TSimDevice
{
public:
    // The device a row's lab line named Name.
    explicit TSimDevice(const QString &Name = QStringLiteral("device"))
        : FBase(qEnvironmentVariable("TXL_LAB_DIR") + QLatin1Char('/') + Name)
    {}
    ~TSimDevice() { Stop(); }

    // Starts the simulator here, bound to Address:69, and waits until it listens.
    bool Start(const QString &Address, const QStringList &Extra = {})
    {
        Stop();
        FBase = FDir.filePath(QStringLiteral("device"));
        for (const char *Ending : {".json", ".err", ".log", ".out"})
            QFile::remove(FBase + Ending);
        FSim.setStandardOutputFile(FBase + ".json");
        FSim.setStandardErrorFile(FBase + ".err");
        FSim.start(qEnvironmentVariable("TXL_SIM"),
                   QStringList{"--bind", Address, "--log", FBase + ".log", "--out", FBase + ".out",
                               "--idle-timeout", "60"} +
                       Extra);
        return FSim.waitForStarted(5000) &&
               QTest::qWaitFor([this] { return Listening() || FSim.state() != QProcess::Running; }, 5000) &&
               Listening();
    }

    // One started here is asked to end (it prints its summary then); one of the lab is waited for
    // until its log and summaries have been still for 100 ms (at most 2 s). Returns the last summary,
    // {} when there is none: with --once or --each the lab's device prints one for a whole image.
    QJsonObject Finish()
    {
        if (!Stop()) {
            const auto Size = [this] { return Read(".log").size() + Read(".json").size(); };
            const QDeadlineTimer Deadline(2000);
            for (qint64 Before = -1; Before != Size() && !Deadline.hasExpired(); QTest::qWait(100))
                Before = Size();
        }
        const QList<QByteArray> Lines = Summaries();
        return Lines.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(Lines.last()).object();
    }

    bool Listening() const { return Read(".err").contains("listening "); }
    QString Errors() const { return QString::fromLocal8Bit(Read(".err")); }
    // Every summary line printed so far.
    QList<QByteArray> Summaries() const
    {
        const QByteArray Text = Read(".json").trimmed();
        return Text.isEmpty() ? QList<QByteArray>() : Text.split('\n');
    }
    // The exit status of one started here, once Finish ended it.
    int ExitCode() const { return FSim.exitCode(); }

    // The log's actions in order, once it holds Count lines (bounded wait).
    QStringList Actions(int Count) const
    {
        for (QDeadlineTimer Deadline(2000); Packets().size() < std::size_t(Count) && !Deadline.hasExpired();)
            QTest::qSleep(20);
        QStringList Result;
        for (const SimPacket &P : Packets())
            Result << P.Action;
        return Result;
    }

    std::vector<SimPacket> Packets() const
    {
        std::vector<SimPacket> Result;
        for (const QByteArray &Line : Read(".log").split('\n')) {
            const QList<QByteArray> F = Line.simplified().split(' ');
            if (F.size() >= 5)
                Result.push_back({F[0].toDouble(), F[1].toInt(), F[2] == "-" ? -1 : F[2].toInt(),
                                  F[3].toInt(), QString::fromLatin1(F[4])});
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

    QByteArray Received() const { return Read(".out"); }

private:
    // Ends one started here; false when none runs.
    bool Stop()
    {
        if (FSim.state() == QProcess::NotRunning)
            return false;
        FSim.terminate();
        if (!FSim.waitForFinished(5000)) {
            FSim.kill();
            FSim.waitForFinished(2000);
        }
        return true;
    }
    QByteArray Read(const char *Ending) const
    {
        QFile File(FBase + Ending);
        return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
    }

    QTemporaryDir FDir;
    QString FBase;
    QProcess FSim;
};
