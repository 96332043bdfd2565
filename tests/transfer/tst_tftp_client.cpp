// The upload's two drivers on real sockets, inside a namespace of its own: the window's client
// (a receive thread, a nested event loop) and the console's polled upload, each at 127.0.0.1:69,
// the simulated device at 127.0.0.2:69 started for each row by its lab line (tests/common/rows.sh).
// The rules themselves are proven in virtual time (tst_upload_machine); here, that each driver
// carries them out over a real network.

#include "DataRow.h"
#include "Diagnosis.h"
#include "Limits.h"
#include "LoadData.h"
#include "Outcome.h"
#include "PolledUpload.h"
#include "SimDevice.h"
#include "SocketPoll.h"
#include "TestImage.h"
#include "TftpClient.h"
#include "UdpSocket.h"
#include "uitest_netns.h"

#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

namespace {
const QString DeviceAddress = "127.0.0.2";
constexpr TIpv4 Client = 0x7F000001, Device = 0x7F000002, Stranger = 0x7F000003;
using uitest::LabRow;

// Datagrams this network namespace has sent so far (the kernel's own count).
qint64 UdpDatagramsSent()
{
    QFile snmp("/proc/net/snmp");
    if (!snmp.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = snmp.readAll().split('\n');
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QList<QByteArray> names = lines[i].simplified().split(' ');
        const QList<QByteArray> values = lines[i + 1].simplified().split(' ');
        if (names.value(0) == "Udp:" && values.value(0) == "Udp:" && names.indexOf("OutDatagrams") > 0)
            return values.value(names.indexOf("OutDatagrams")).toLongLong();
    }
    return -1;
}

const TUploadLimits Short{TUploadMachine::TMs(ShortTimeoutMs)};

struct TRun {
    TTftpResult Result = trTimeout;
    TOutcome Outcome = TOutcome::Timeout;
    TUploadEvidence Evidence;
};

// One upload of the built-in image by the driver named, from Local to Remote; for the console,
// cancelled by the loop's stop test after CancelAfterMs unless that is 0.
TRun Upload(const QString &Driver, TIpv4 Local, TIpv4 Remote, int CancelAfterMs)
{
    TRun Outcome;
    if (Driver == "window") {
        TTftpClient Client(Local, FirmwareBytes(), Short);
        Outcome.Result = Client.Upload(Remote, FirmwareFileName);
        Outcome.Outcome = Client.Outcome();
        Outcome.Evidence = Client.Evidence();
        return Outcome;
    }
    TPolledUpload Upload(Local, FirmwareBytes(), Short);
    TPollWake Wake;
    QElapsedTimer Clock;
    Clock.start();
    Upload.Start(Remote, FirmwareFileName, TUploadMachine::TClock::now());
    TPolledUpload *Uploads[] = {&Upload};
    // The stop test is asked at every wake-up, a tick at least every 20 ms.
    RunPolled(
        Uploads, Wake, [&] { return CancelAfterMs > 0 && Clock.elapsed() >= CancelAfterMs; },
        CancelAfterMs > 0 ? 20 : 0, CancelAfterMs > 0 ? std::function<void()>([] {}) : nullptr);
    Outcome.Result = Upload.Result();
    Outcome.Outcome = Upload.Outcome();
    Outcome.Evidence = Upload.Evidence();
    return Outcome;
}

int CountBlock(const std::vector<SimPacket> &packets, int opcode, int block)
{
    return int(std::count_if(packets.begin(), packets.end(),
                             [&](const SimPacket &p) { return p.Opcode == opcode && p.Block == block; }));
}
} // namespace

class TestTftpClient : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup() { FWatchdog.stop(); }
    void drivers_data();
    void drivers();
    void sendsNothing_data();
    void sendsNothing();
    void destroyWhileDatagramsArrive();

private:
    QTimer FWatchdog;
};

void TestTftpClient::init()
{
    // Uploads wait inside a nested event loop, so this fires even when one hangs.
    FWatchdog.setSingleShot(true);
    FWatchdog.callOnTimeout([] { qFatal("upload still waiting after 30 s: it hangs"); });
    FWatchdog.start(30000);
}

void TestTftpClient::drivers_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("peer"); // what answers at the device's address
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("reason"); // part of it
    const auto Rows = [Function = __func__](const char *Name, const QString &Lab, const QString &Peer,
                                            TTftpResult Result, const QString &Reason) {
        // Only the console's loop is ever stopped before the end.
        for (const char *Driver : {"window", "console"}) {
            if (Peer.endsWith("cancelled") && Driver == QLatin1String("window"))
                continue;
            const QByteArray Tag = QByteArray(Driver) + ": " + Name;
            LabRow(Function, Tag.constData(), Lab, QString(Driver), Peer, int(Result), Reason);
        }
    };
    // 200 datagrams without an opcode ahead of every further ACK, and a first ACK of 4,000 bytes:
    // none may cost a timeout, or a repeat.
    QStringList Flood{"--once",         "--flood-count",    "200", "--fault",
                      "1:oversize:all", "--oversize-bytes", "4000"};
    for (int Block = 2; Block <= int(FirmwareSize / 512 + 1); ++Block)
        Flood << "--fault" << QString("%1:flood:all").arg(Block);
    Rows("OK byte for byte, junk before every ACK", DeviceLab(Flood, DeviceAddress), "device", trOK, "");
    Rows("silent", DeviceLab({"--fault", "0:silent:all"}, DeviceAddress), "device", trTimeout,
         "Устройство 127.0.0.2 не ответило через интерфейс 127.0.0.1");
    Rows("nothing listens on port 69", "", "", trTimeout,
         "С адреса 127.0.0.2 пришёл ответ «порт недоступен»");
    // ACK 0 from port 4444 of another host, while the device says nothing.
    Rows("forged ACKs from another host", DeviceLab({"--fault", "0:silent:all"}, DeviceAddress), "stranger",
         trTimeout, wine::BindIgnored ? "пакеты с адреса 127.0.0.1" : "пакеты с адреса 127.0.0.3");
    Rows("cancelled", DeviceLab({"--delay-ms", "20"}, DeviceAddress), "device, cancelled", trTimeout,
         "Загрузка прервана: устройство 127.0.0.2 подтвердило");
    // A TFTP server answers the WRQ from a port of its own and waits there: Debian's, behind a
    // cable from 192.168.0.10 to 192.168.0.200.
    Rows("a TFTP server", "lab_cable - tftpd 192.168.0.10/24 txpc; lab_tftpd tftpd", "tftpd-hpa", trTimeout,
         "ответило только на запрос записи, причём не с порта 69");
}

void TestTftpClient::drivers()
{
    QFETCH(QString, driver);
    QFETCH(QString, peer);
    QFETCH(int, result);
    QFETCH(QString, reason);
    TXL_SKIP_IF(wine::NoPortUnreachable && peer.isEmpty(),
                "Wine hands a receive no ICMP port-unreachable report");
    TSimDevice Sim;
    if (peer.startsWith("device") || peer == "stranger")
        QVERIFY2(Sim.Listening(), qPrintable(Sim.Errors()));
    std::atomic<bool> Stop{false};
    std::atomic<int> Forged{0};
    std::thread Forger;
    if (peer == "stranger") {
        // Every 0.5 ms, blindly, from 127.0.0.3:4444.
        Forger = std::thread([&] {
            TUdpSocket Out;
            if (!Out.Bind(Stranger, 4444))
                return;
            const char Ack0[4] = {0, 4, 0, 0};
            for (int i = 0; i < 20000 && !Stop; ++i) {
                Forged += Out.SendTo(Ack0, sizeof Ack0, Client, 69);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
    }
    const bool Cabled = peer == "tftpd-hpa";
    const TIpv4 Local = Cabled ? 0xC0A8000A : Client, Remote = Cabled ? 0xC0A800C8 : Device;
    QElapsedTimer Clock;
    Clock.start();
    const TRun Outcome = Upload(driver, Local, Remote, peer.endsWith("cancelled") ? 300 : 0);
    const qint64 Took = Clock.elapsed();
    Stop = true;
    if (Forger.joinable())
        Forger.join();
    Sim.Finish();
    QCOMPARE(int(Outcome.Result), result);
    const QString Said =
        QString::fromStdString(Tell(Outcome.Outcome, Outcome.Evidence,
                                    Diagnose(Local, Remote, Outcome.Evidence.SendError, 0), Local, Remote)
                                   .Reason);
    QVERIFY2(reason.isEmpty() ? Said.isEmpty() : Said.contains(reason), qPrintable(Said));
    QVERIFY(!Outcome.Evidence.SetUp.NothingCanBeSent());
    if (peer == "stranger")
        QVERIFY2(Forged > 100 && Outcome.Evidence.Foreign > 100, qPrintable(QString::number(Forged)));
    if (!peer.startsWith("device"))
        return;

    const auto Packets = Sim.Packets();
    const int Blocks = int(FirmwareSize / 512 + 1);
    if (result == trOK) {
        // Each packet once, in order, and the device holds the image byte for byte.
        QCOMPARE(Sim.Received(), ImageBytes());
        QCOMPARE(Packets.size(), std::size_t(Blocks + 1));
        QCOMPARE(CountBlock(Packets, 2, -1), 1);
        for (int Block = 1; Block <= Blocks; ++Block)
            QCOMPARE(CountBlock(Packets, 3, Block), 1);
    } else if (peer.endsWith("cancelled")) {
        // Ended at once, after the packet in flight: nothing more reached the device.
        QCOMPARE(Outcome.Outcome, TOutcome::Interrupted);
        QVERIFY2(Outcome.Evidence.BlocksAcked > 0 && int(Outcome.Evidence.BlocksAcked) < Blocks,
                 qPrintable(QString::number(Outcome.Evidence.BlocksAcked)));
        QVERIFY2(Took < 300 + 200, qPrintable(QString::number(Took)));
        QVERIFY(!Packets.empty() && Packets.back().Ms - Packets.front().Ms < 300 + 100);
    } else {
        // Three write requests, each after the limit ran out; a first send that leaves late
        // (a busy machine, Wine) shortens the first gap a little.
        QCOMPARE(CountBlock(Packets, 2, -1), 3);
        for (std::size_t i = 1; i < Packets.size(); ++i) {
            const double Gap = Packets[i].Ms - Packets[i - 1].Ms;
            QVERIFY2(Gap > ShortTimeoutMs - 50 && Gap < ShortTimeoutMs + 700,
                     qPrintable(QString::number(Gap)));
        }
    }
}

void TestTftpClient::sendsNothing_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("cause"); // what keeps a good request from going out; empty: none
    QTest::addColumn<QString>("reason");
    const auto row = [](const char *tag, const QString &host, const QString &name = FirmwareFileName,
                        const QString &cause = {}, const QString &reason = {}) {
        QTest::newRow(tag) << host << name << cause << reason;
    };
    // Which texts are addresses, and which addresses name one device, is the net tests' table;
    // here, that the driver sends nothing for one of each kind.
    row("empty name", DeviceAddress, "");
    row("name too long", DeviceAddress, QString(1016, 'n'));
    row("subnet broadcast", "127.255.255.255", FirmwareFileName, {},
        "не может принадлежать одному устройству");
    row("multicast", "224.0.0.1", FirmwareFileName, {}, "не может принадлежать одному устройству");
    // The PC would only hear itself.
    row("the PC's own address", "127.0.0.1", FirmwareFileName, {}, "127.0.0.1 — адрес этого компьютера");
    // Port 69 on the client's address is taken: sending from any other port is not an option.
    row("port taken", DeviceAddress, FirmwareFileName, "port taken", "UDP-порт 69 на адресе 127.0.0.1 занят");
    // The system will start no more threads: without a reader no reply could be seen, and the
    // program must go on.
    row("no thread for receiving", DeviceAddress, FirmwareFileName, "no thread",
        "Не удалось запустить приём");
}

void TestTftpClient::sendsNothing()
{
    QFETCH(QString, host);
    QFETCH(QString, name);
    QFETCH(QString, cause);
    QFETCH(QString, reason);
    TXL_SKIP_IF(wine::BindIgnored && cause == "port taken", "Wine binds UDP sockets to 0.0.0.0");
    TUdpSocket squatter;
    if (cause == "port taken")
        QVERIFY(squatter.Bind(Client, 69));
    else if (cause == "no thread" && !uitest::HoldThreadCount(true))
        QSKIP("no pids cgroup to hold the thread count with");
    TTftpClient client(Client, FirmwareBytes(), Short);
    if (cause == "no thread")
        QVERIFY(uitest::HoldThreadCount(false));
    const qint64 sentBefore = UdpDatagramsSent();
    QVERIFY(sentBefore >= 0);
    // It ends at once: nothing can reach the device, so there is nothing to wait for.
    QElapsedTimer clock;
    clock.start();
    const TIpv4 Host = *ipv4::Parse(host.toStdString());
    const TTftpResult Result = client.Upload(Host, name.toStdString());
    QCOMPARE(Result, cause.isEmpty() ? trUnknownError : trTimeout);
    QVERIFY2(clock.elapsed() < ShortTimeoutMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(UdpDatagramsSent(), sentBefore);
    QCOMPARE(client.Outcome(), TOutcome::NotSent);
    const QString Said = QString::fromStdString(
        Tell(client.Outcome(), client.Evidence(), Diagnose(Client, Host, 0, 0), Client, Host).Reason);
    QVERIFY2(reason.isEmpty() ? Said.isEmpty() : Said.contains(reason), qPrintable(Said));
}

void TestTftpClient::destroyWhileDatagramsArrive()
{
    // Clients are freed right after their upload, whatever is still arriving:
    // a delivery parked for the UI thread, or a stream of junk, must neither
    // deadlock the destructor nor reach the freed client (ASan would see it),
    // and port 69 is free again at once.
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> stop{false};
        std::atomic<int> sent{0};
        std::thread flood([&] {
            TUdpSocket out;
            const char junk[8] = {0, 4, 0, 1};
            for (int i = 0; i < 100000 && !stop; ++i)
                sent += out.SendTo(junk, sizeof junk, Client, 69);
        });
        auto client = std::make_unique<TTftpClient>(Client, FirmwareBytes(), TUploadLimits());
        // A busy machine may start the sender late: the stream must be under way first.
        QTRY_VERIFY_WITH_TIMEOUT(sent > 0, 5000);
        if (round % 2)
            QTest::qWait(20); // deliveries run and stream on
        else
            QThread::msleep(20); // one delivery parks, waiting for this thread
        const int sentWhileAlive = sent;
        QElapsedTimer clock;
        clock.start();
        client.reset();
        const qint64 took = clock.elapsed();
        QCoreApplication::sendPostedEvents();
        stop = true;
        flood.join();
        QVERIFY2(sentWhileAlive > 0, "no datagram arrived while the client lived");
        QVERIFY2(took < 1000, qPrintable(QString("freeing took %1 ms").arg(took)));
        TUdpSocket next;
        QVERIFY2(next.Bind(Client, 69), "port 69 still held after the client went");
    }
}

QTEST_GUILESS_MAIN(TestTftpClient)
#include "tst_tftp_client.moc"
