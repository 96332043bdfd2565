#pragma once

// Runs the device simulator (path in TXL_SIM) as a real process for a test,
// and reads back its packet log and its one-line JSON summary.

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

class SimulatorProcess
{
public:
    // Starts the simulator bound to Address:69 with extra arguments; false if it did not come up.
    bool Start(const QString &Address, const QStringList &Extra = {})
    {
        const QString sim = qEnvironmentVariable("TXL_SIM");
        if (sim.isEmpty() || !FDir.isValid())
            return false;
        QStringList args{"--bind", Address, "--log", LogPath(), "--out", OutPath(), "--idle-timeout", "60"};
        args += Extra;
        FProcess.start(sim, args);
        if (!FProcess.waitForStarted(5000))
            return false;
        // Bounded wait for the "listening" line on stderr.
        for (int i = 0; i < 100 && !FStderr.contains("listening"); ++i) {
            FProcess.waitForReadyRead(50);
            FStderr += FProcess.readAllStandardError();
        }
        return FStderr.contains("listening");
    }

    // Ends the simulator and returns its summary.
    QJsonObject Finish()
    {
        if (FProcess.state() != QProcess::NotRunning) {
            FProcess.terminate();
            if (!FProcess.waitForFinished(5000)) {
                FProcess.kill();
                FProcess.waitForFinished(2000);
            }
        }
        FOutput += FProcess.readAllStandardOutput();
        return QJsonDocument::fromJson(Summaries().last()).object();
    }

    // Every summary line printed so far (call after Finish).
    QList<QByteArray> Summaries() const { return FOutput.trimmed().split('\n'); }
    int ExitCode() const { return FProcess.exitCode(); }

    // Actions of the log, in order, once it holds Count lines (bounded wait).
    QStringList Actions(int Count) const
    {
        QStringList actions;
        for (int i = 0; i < 100; ++i) {
            actions.clear();
            for (const SimPacket &p : Packets())
                actions << p.Action;
            if (actions.size() >= Count)
                break;
            QTest::qWait(20);
        }
        return actions;
    }

    std::vector<SimPacket> Packets() const
    {
        std::vector<SimPacket> packets;
        QFile file(LogPath());
        if (!file.open(QIODevice::ReadOnly))
            return packets;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() < 5)
                continue;
            SimPacket p;
            p.Ms = f[0].toDouble();
            p.Opcode = f[1].toInt();
            p.Block = f[2] == "-" ? -1 : f[2].toInt();
            p.Length = f[3].toInt();
            p.Action = QString::fromLatin1(f[4]);
            packets.push_back(p);
        }
        return packets;
    }

    QByteArray Received() const
    {
        QFile file(OutPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    ~SimulatorProcess() { Finish(); }

private:
    QString LogPath() const { return FDir.filePath("packets.log"); }
    QString OutPath() const { return FDir.filePath("received.bin"); }

    QTemporaryDir FDir;
    QProcess FProcess;
    QByteArray FStderr;
    QByteArray FOutput;
};
