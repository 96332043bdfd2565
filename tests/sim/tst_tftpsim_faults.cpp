// The simulator's scripted misbehaviour, seen from a raw UDP socket: every
// fault must put exactly the promised bytes on the wire, for exactly as many
// receptions as asked, because the client's tests rely on it.
// Runs in a namespace of its own: probe at 127.0.0.1, simulator at 127.0.0.2:69.

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include "SimDevice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

namespace {

const char *const SimAddress = "127.0.0.2";
const QByteArray SimError("\0\5\0\0simulated error\0", 20); // the simulator's default ERROR packet
const QByteArray Unreachable("ICMP port unreachable");      // what Probe gives for that report

QByteArray Wrq(const QByteArray &name = "image.xfw")
{
    return QByteArray("\0\2", 2) + name + QByteArray("\0octet\0", 7);
}

QByteArray Data(unsigned block, const QByteArray &payload, char opcode = 3)
{
    const char head[4] = {0, opcode, char(block >> 8), char(block & 0xff)};
    return QByteArray(head, 4) + payload;
}

QByteArray Ack(unsigned block)
{
    return Data(block, {}, 4);
}

// A plain UDP socket at 127.0.0.1 on a port of the kernel's choice.
class Probe
{
public:
    Probe()
    {
        FSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(FSocket, reinterpret_cast<sockaddr *>(&local), sizeof local);
        const int buffer = 4 << 20; // room for a whole flood
        setsockopt(FSocket, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
        const int on = 1; // hears of the ICMP reports for its datagrams
        setsockopt(FSocket, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    }
    ~Probe() { close(FSocket); }

    void Send(const QByteArray &datagram)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(69);
        inet_pton(AF_INET, SimAddress, &to.sin_addr);
        sendto(FSocket, datagram.constData(), std::size_t(datagram.size()), 0,
               reinterpret_cast<sockaddr *>(&to), sizeof to);
    }

    // Next datagram within timeoutMs, with the port it came from; Unreachable for an ICMP report.
    std::optional<QByteArray> Receive(int timeoutMs = 2000, int *fromPort = nullptr)
    {
        pollfd fd{FSocket, POLLIN, 0};
        if (poll(&fd, 1, timeoutMs) != 1)
            return std::nullopt;
        char data[64];
        if ((fd.revents & POLLERR) && recv(FSocket, data, sizeof data, MSG_ERRQUEUE) >= 0)
            return Unreachable;
        QByteArray buffer(65536, 0);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t got = recvfrom(FSocket, buffer.data(), std::size_t(buffer.size()), 0,
                                     reinterpret_cast<sockaddr *>(&from), &len);
        if (got < 0)
            return std::nullopt;
        if (fromPort)
            *fromPort = ntohs(from.sin_port);
        buffer.truncate(int(got));
        return buffer;
    }

    std::optional<QByteArray> Exchange(const QByteArray &datagram, int timeoutMs = 2000)
    {
        Send(datagram);
        return Receive(timeoutMs);
    }

private:
    int FSocket = -1;
};

} // namespace

class TestTftpSimFaults : public QObject
{
    Q_OBJECT
private slots:
    void faultReplyBytes_data();
    void faultReplyBytes();
    void silentCountsThenAcks();
    void floodThenAck();
    void dropIsSeededAndBounded();
    void delayHoldsEveryReply();
    void assemblesByBlockNumber();
    void newWriteRequestStartsOver();
    void repliesToSteps_data();
    void repliesToSteps();
};

void TestTftpSimFaults::faultReplyBytes_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("reply"); // empty: none
    QTest::addColumn<QString>("action");   // as the log names it
    QTest::newRow("error") << "error" << SimError << "error";
    QTest::newRow("unknown") << "unknown" << QByteArray("\0\7\0\1", 4) << "unknown";
    QTest::newRow("zero") << "zero" << QByteArray(4, '\0') << "zero";
    QTest::newRow("onebyte") << "onebyte" << QByteArray(1, '\0') << "onebyte";
    QTest::newRow("onebyte 0x04") << "onebyte --onebyte-value 4" << QByteArray(1, '\4') << "onebyte";
    QTest::newRow("oversize") << "oversize" << Ack(1) + QByteArray(1996, '\0') << "oversize";
    QTest::newRow("error with code and message") << "error --error-code 3 --error-message Flash\\x07full"
                                                 << QByteArray("\0\5\0\3Flash\afull\0", 15) << "error";
    // Lost on the way in: not kept (the repeat is the first copy) and not answered.
    QTest::newRow("lose") << "lose" << QByteArray() << "drop";
}

void TestTftpSimFaults::faultReplyBytes()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, reply);
    QFETCH(QString, action);
    TSimDevice sim;
    const QStringList words = kind.split(' ');
    QVERIFY(sim.Start(SimAddress,
                      QStringList{"--fault", "1:" + words[0], "--oversize-bytes", "2000"} + words.mid(1)));
    Probe probe;
    int port = 0;
    probe.Send(Wrq());
    QCOMPARE(probe.Receive(2000, &port), Ack(0));
    QCOMPARE(port, 69); // replies come from the bound port, not a new one
    const QByteArray block1 = Data(1, QByteArray(512, 'a'));
    QCOMPARE(probe.Exchange(block1, reply.isEmpty() ? 300 : 2000).value_or(QByteArray()), reply);
    QCOMPARE(probe.Exchange(block1), Ack(1)); // the fault was for one reception
    QCOMPARE(probe.Exchange(Data(2, "end")), Ack(2));
    QCOMPARE(sim.Actions(4), QStringList({"ack", action, "ack", "ack"}));
    const QJsonObject summary = sim.Finish();
    QCOMPARE(summary["repeats"].toInt(), reply.isEmpty() ? 0 : 1);
    QCOMPARE(summary["packets"].toInt(), reply.isEmpty() ? 3 : 4);
    QCOMPARE(sim.ExitCode(), 0);
}

void TestTftpSimFaults::silentCountsThenAcks()
{
    TSimDevice sim;
    QVERIFY(sim.Start(SimAddress, {"--fault", "0:silent:2", "--fault", "1:error:all"}));
    Probe probe;
    QVERIFY(!probe.Exchange(Wrq(), 300));
    QVERIFY(!probe.Exchange(Wrq(), 300));
    QCOMPARE(probe.Exchange(Wrq()), Ack(0));
    for (int i = 0; i < 5; ++i)
        QCOMPARE(probe.Exchange(Data(1, QByteArray(512, 'b'))), SimError);
    QCOMPARE(sim.Actions(8),
             QStringList({"silent", "silent", "ack", "error", "error", "error", "error", "error"}));
    const QJsonObject summary = sim.Finish();
    QCOMPARE(summary["packets"].toInt(), 8);
    QCOMPARE(summary["repeats"].toInt(), 6); // two WRQ retries, four DATA 1 repeats
    QCOMPARE(summary["complete"].toBool(), false);
    QCOMPARE(sim.ExitCode(), 3);
}

void TestTftpSimFaults::floodThenAck()
{
    TSimDevice sim;
    QVERIFY(sim.Start(SimAddress, {"--fault", "1:flood", "--flood-count", "200", "--seed", "5"}));
    Probe probe;
    QCOMPARE(probe.Exchange(Wrq()), Ack(0));
    probe.Send(Data(1, QByteArray(512, 'c')));
    int junk = 0;
    QSet<int> lengths;
    std::optional<QByteArray> got;
    for (int i = 0; i < 300 && (got = probe.Receive()); ++i) {
        if (got->startsWith(QByteArray("\0\4", 2)))
            break;
        QVERIFY2(got->startsWith(QByteArray("\0\0", 2)), "junk must carry opcode 0");
        QVERIFY(got->size() >= 4 && got->size() <= 1500);
        lengths << int(got->size());
        ++junk;
    }
    QCOMPARE(got, Ack(1)); // the real ACK comes last
    QCOMPARE(junk, 200);
    QVERIFY2(lengths.size() > 100, "junk lengths should vary");
}

void TestTftpSimFaults::dropIsSeededAndBounded()
{
    // Same seed, same losses; another seed, other losses; 0 loses nothing, 1 everything.
    auto losses = [](const QString &fraction, const QString &seed) {
        TSimDevice sim;
        if (!sim.Start(SimAddress, {"--drop", fraction, "--seed", seed}))
            return QString("no simulator");
        Probe probe;
        probe.Send(Wrq());
        for (unsigned block = 1; block <= 60; ++block)
            probe.Send(Data(block, QByteArray(512, 'd')));
        QString pattern;
        for (const QString &action : sim.Actions(61))
            pattern += action == "drop" ? 'x' : action == "ack" ? '.' : '?';
        return pattern;
    };
    const QString first = losses("0.3", "7");
    QCOMPARE(first.size(), 61);
    QCOMPARE(losses("0.3", "7"), first);
    QVERIFY(losses("0.3", "8") != first);
    const auto dropped = first.count('x');
    QVERIFY2(dropped >= 6 && dropped <= 35, qPrintable(first)); // 0.3 of 61, loosely
    QCOMPARE(losses("0", "7"), QString(61, '.'));
    QCOMPARE(losses("1", "7"), QString(61, 'x'));
}

void TestTftpSimFaults::delayHoldsEveryReply()
{
    TSimDevice sim;
    QVERIFY(sim.Start(SimAddress, {"--delay-ms", "150.5"}));
    Probe probe;
    for (const QByteArray &packet : {Wrq(), Data(1, "x")}) {
        QElapsedTimer timer;
        timer.start();
        QVERIFY(probe.Exchange(packet));
        // A lower bound only: the reply must not come before the delay.
        QVERIFY2(timer.elapsed() >= 150, qPrintable(QString::number(timer.elapsed())));
    }
}

void TestTftpSimFaults::assemblesByBlockNumber()
{
    TSimDevice sim;
    QVERIFY(sim.Start(SimAddress, {}));
    Probe probe;
    QCOMPARE(probe.Exchange(Wrq("out-of-order.bin")), Ack(0));
    QCOMPARE(probe.Exchange(Data(2, QByteArray(512, '2'))), Ack(2));
    QCOMPARE(probe.Exchange(Data(1, QByteArray(512, 'x'))), Ack(1));
    QCOMPARE(probe.Exchange(Data(1, QByteArray(512, '1'))), Ack(1)); // a repeat overwrites its place
    QCOMPARE(probe.Exchange(Data(3, "tail")), Ack(3));
    const QByteArray expected = QByteArray(512, '1') + QByteArray(512, '2') + "tail";
    QCOMPARE(sim.Received(), expected); // written as soon as the short block completes it
    const QJsonObject summary = sim.Finish();
    QCOMPARE(summary["file"].toString(), QString("out-of-order.bin"));
    QCOMPARE(summary["bytes"].toInt(), expected.size());
    QCOMPARE(summary["sha256"].toString(),
             QString(QCryptographicHash::hash(expected, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(summary["packets"].toInt(), 5);
    QCOMPARE(summary["repeats"].toInt(), 1);
    QCOMPARE(summary["complete"].toBool(), true);
}

void TestTftpSimFaults::newWriteRequestStartsOver()
{
    TSimDevice sim;
    QVERIFY(sim.Start(SimAddress, {"--each"}));
    Probe probe;
    QCOMPARE(probe.Exchange(Wrq("first.bin")), Ack(0));
    QCOMPARE(probe.Exchange(Data(1, QByteArray(512, 'f'))), Ack(1));
    // Abandoned half-way: the next WRQ must not inherit its blocks or counts.
    QCOMPARE(probe.Exchange(Wrq("second.bin")), Ack(0));
    QCOMPARE(probe.Exchange(Data(1, "short")), Ack(1));
    QCOMPARE(probe.Exchange(Wrq("third.bin")), Ack(0));
    const QJsonObject last = sim.Finish();
    QCOMPARE(last["file"].toString(), QString("third.bin"));
    QCOMPARE(last["complete"].toBool(), false);
    QCOMPARE(sim.ExitCode(), 3);
    QCOMPARE(sim.Received(), QByteArray()); // the unfinished third transfer has no data yet
    // --each: one line for the completed second transfer, one at exit.
    const auto lines = sim.Summaries();
    QCOMPARE(lines.size(), 2);
    const QJsonObject second = QJsonDocument::fromJson(lines[0]).object();
    QCOMPARE(second["file"].toString(), QString("second.bin"));
    QCOMPARE(second["bytes"].toInt(), 5);
    QCOMPARE(second["packets"].toInt(), 2);
    QCOMPARE(second["complete"].toBool(), true);
}

void TestTftpSimFaults::repliesToSteps_data()
{
    // Steps: W sends the WRQ, Dn DATA block n (512 bytes), "." nothing; then what must come
    // back: an ACK's number, E (the ERROR), U (opcode 7), Z (four zero bytes), P (the system's
    // port unreachable), each *N times when copied; or "-" for none within 300 ms.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<bool>("otherPort"); // the replies come from a port other than 69
    const auto row = [](const char *name, const QStringList &args, const char *steps,
                        bool otherPort = false) {
        QTest::newRow(name) << args << QString(steps) << otherPort;
    };
    row("in order only", {"--in-order"}, "W>0 D2>- D1>1 D1>1 D3>- D2>2");
    row("in order, the last ACK for any other block", {"--in-order", "--repeat-last-ack"},
        "W>0 D2>0 D1>1 D3>1 D2>2 D2>2");
    row("stops listening, and stays so", {"--fault", "2:close"}, "W>0 D1>1 D2>- D2>P W>P");
    row("repeats its last ACK", {"--resend-ms", "100"}, "W>0 .>0 D1>1 .>1");
    row("answers from another port", {"--reply-port", "0"}, "W>0 D1>1", true);
    row("ACKs a block behind", {"--ack-skew", "-1"}, "W>0 D1>0 D2>1");
    row("faults for one packet apply in turn",
        {"--fault", "0:unknown", "--fault", "0:zero:2", "--fault", "0:silent"}, "W>U W>Z W>Z W>- W>0");
    row("each reply three times", {"--copies", "3"}, "W>0*3 D1>1*3 .>-");
    row("ACKs numbered 0", {"--zero-acks"}, "W>0 D1>0 .>-");
    row("restarts: no block before a WRQ; refuses, then answers nothing",
        {"--fault", "1:restart", "--fault", "2:refuse"}, "W>0 D1>- D1>- W>0 D1>1 D2>E D2>- W>-");
    row("both, and ERROR copied too", {"--copies", "2", "--zero-acks", "--fault", "2:error"},
        "W>0*2 D1>0*2 D2>E*2 .>-");
}

void TestTftpSimFaults::repliesToSteps()
{
    QFETCH(QStringList, args);
    QFETCH(QString, steps);
    QFETCH(bool, otherPort);
    TSimDevice sim;
    QVERIFY(sim.Start(SimAddress, args));
    Probe probe;
    for (const QString &step : steps.split(' ')) {
        const QString sent = step.section('>', 0, 0), wanted = step.section('>', 1).section('*', 0, 0);
        if (sent == "W")
            probe.Send(Wrq());
        else if (sent != ".")
            probe.Send(Data(sent.mid(1).toInt(), QByteArray(512, 'r')));
        const QByteArray expected = wanted == "E"   ? SimError
                                    : wanted == "U" ? QByteArray("\0\7\0\0", 4)
                                    : wanted == "Z" ? QByteArray(4, '\0')
                                    : wanted == "P" ? Unreachable
                                                    : Ack(wanted.toInt());
        for (int copy = 0, copies = qMax(1, step.section('*', 1).toInt()); copy < copies; ++copy) {
            int port = 0;
            const auto reply = probe.Receive(wanted == "-" ? 300 : 2000, &port);
            QVERIFY2(wanted == "-" ? !reply : reply && *reply == expected, qPrintable(step));
            if (reply && *reply != Unreachable)
                QCOMPARE(port != 69, otherPort);
        }
    }
}

QTEST_GUILESS_MAIN(TestTftpSimFaults)
#include "tst_tftpsim_faults.moc"
