// Whole uploads against the device simulator, inside a namespace of its own:
// the client at 127.0.0.1:69, the simulated device at 127.0.0.2:69, started for each row by its
// lab line (tests/common/rows.sh).

#include "DataRow.h"
#include "Limits.h"
#include "LoadData.h"
#include "SimDevice.h"
#include "TestImage.h"
#include "TftpClient.h"
#include "TimeoutReason.h"
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
const QString ClientAddress = "127.0.0.1";
const QString DeviceAddress = "127.0.0.2";
constexpr int AnyTruthful = -1;
constexpr int Unchecked = -2;
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
    void uploadIsByteExact_data();
    void uploadIsByteExact();
    void deviceBehaviour_data();
    void deviceBehaviour();
    void strangerOnTheLink_data();
    void strangerOnTheLink();
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

void TestTftpClient::uploadIsByteExact_data()
{
    QTest::addColumn<QByteArray>("image"); // empty: the built-in one, through the plain constructor
    QTest::addColumn<QString>("host");     // the device's address as the user typed it
    LabRow(__func__, "built-in image", DeviceLab({"--once"}, DeviceAddress), QByteArray(), DeviceAddress);
    // 200 datagrams without an opcode ahead of every ACK: none may cost a
    // timeout, and none may make a block go out twice.
    QStringList flood{"--once", "--flood-count", "200"};
    for (int block = 1; block <= int(FirmwareSize / 512 + 1); ++block)
        flood << "--fault" << QString("%1:flood:all").arg(block);
    LabRow(__func__, "junk burst before every ACK", DeviceLab(flood, DeviceAddress), QByteArray(),
           DeviceAddress);
    LabRow(__func__, "whole blocks end with an empty DATA", DeviceLab({"--once"}, DeviceAddress),
           QByteArray(512, '\1') + QByteArray(512, '\2'), DeviceAddress);
    // Leading zeros are decimal: read as octal, 127.0.0.010 would be the other device, 127.0.0.8.
    LabRow(__func__, "127.000.000.010",
           DeviceLab({"--once"}, "127.0.0.10") + "; " + DeviceLab({}, "127.0.0.8", "eight"), QByteArray(),
           QString("127.000.000.010"));
}

void TestTftpClient::uploadIsByteExact()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, host);
    TSimDevice sim, eight("eight");
    QVERIFY2(sim.Listening(), qPrintable(sim.Errors()));
    if (host != DeviceAddress)
        QVERIFY2(eight.Listening(), qPrintable(eight.Errors()));
    std::optional<TTftpClient> client;
    if (image.isEmpty())
        client.emplace(ClientAddress);
    else
        client.emplace(ClientAddress, std::span(reinterpret_cast<const std::uint8_t *>(image.constData()),
                                                std::size_t(image.size())));
    const QByteArray sent = image.isEmpty() ? ImageBytes() : image;
    QCOMPARE(client->Upload(host, FirmwareFileName), trOK);
    const QJsonObject summary = sim.Finish();
    eight.Finish();
    QCOMPARE(eight.Packets().size(), std::size_t(0));
    QCOMPARE(summary["file"].toString(), QString(FirmwareFileName));
    QCOMPARE(summary["mode"].toString(), QString("octet"));
    QCOMPARE(summary["bytes"].toInt(), int(sent.size()));
    QCOMPARE(summary["sha256"].toString(),
             QString(QCryptographicHash::hash(sent, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(summary["repeats"].toInt(), 0);
    QCOMPARE(sim.Received(), sent);

    // The WRQ, then every block of 512 bytes and a shorter last one (empty after whole blocks).
    const auto packets = sim.Packets();
    const int blocks = int(sent.size() / 512 + 1);
    QCOMPARE(packets.size(), std::size_t(blocks + 1));
    QCOMPARE(packets[0].Opcode, 2);
    QCOMPARE(packets[0].Length, int(2 + std::strlen(FirmwareFileName) + 1 + 5 + 1));
    for (int block = 1; block <= blocks; ++block) {
        QCOMPARE(packets[block].Opcode, 3);
        QCOMPARE(packets[block].Block, block);
        QCOMPARE(packets[block].Length, 4 + (block < blocks ? 512 : int(sent.size() % 512)));
    }
}

void TestTftpClient::deviceBehaviour_data()
{
    QTest::addColumn<QString>("peer");    // "": the simulator; "late": it comes up 600 ms in; or "tftpd-hpa"
    QTest::addColumn<int>("result");      // AnyTruthful: OK with every byte, or no OK at all
    QTest::addColumn<int>("repeated");    // the block sent more than once (0: the WRQ), -1: none; Unchecked
    QTest::addColumn<int>("times");       // how often it was sent
    QTest::addColumn<bool>("waited");     // its repeat came only after the limit ran out
    QTest::addColumn<QString>("reason");  // part of a timeout's reason
    QTest::addColumn<bool>("shortLimit"); // ShortTimeoutMs per attempt; false: the product's own
    const auto row = [function = __func__](const char *name, const QStringList &simArgs, int result,
                                           int repeated, int times, bool waited, const QString &reason = {},
                                           const QString &peer = {}, bool shortLimit = true) {
        // Late: 600 ms after the first write request met a closed port, which the system refused.
        const QString lab = peer == "tftpd-hpa" ? "lab_tftpd " + DeviceAddress
                            : peer == "late"
                                ? "lab_after_first_request 600 " + DeviceLab(simArgs, DeviceAddress)
                                : DeviceLab(simArgs, DeviceAddress);
        LabRow(function, name, lab, peer, result, repeated, times, waited, reason, shortLimit);
    };
    // The product's own limit, end to end: three write requests, 3,000 ms apart.
    row("silent, the product's limit", {"--fault", "0:silent:all"}, trTimeout, 0, 3, true, {}, {}, false);
    row("ERROR three times", {"--fault", "0:error:all"}, trDeviceError, 0, 3, false);
    row("unknown opcode, then ACK", {"--fault", "5:unknown:1"}, trOK, 5, 2, false);
    // Datagrams without an opcode end no wait, and must not stop its clock.
    row("opcode 0", {"--fault", "3:zero:1"}, trOK, 3, 2, true);
    row("one byte 0x00", {"--fault", "3:onebyte:1"}, trOK, 3, 2, true);
    row("one byte 0x04", {"--fault", "3:onebyte:1", "--onebyte-value", "4"}, trOK, 3, 2, true);
    row("oversized ACKs", {"--fault", "2:oversize:all", "--oversize-bytes", "4000"}, trOK, -1, 1, false);
    row("answers from another port", {"--reply-port", "0"}, trOK, -1, 1, false);
    // Every reply twice: the second copy of an ACK must not pass for the
    // reply to the next block, or a lost block goes unnoticed.
    row("copies, one block lost", {"--copies", "2", "--fault", "50:lose:1"}, trOK, 50, 2, true);
    // The WRQ's ACK 0 twice passes block 1; ACK 2 shows the numbering, and block 1 goes again.
    row("copies, block 1 lost", {"--copies", "2", "--fault", "1:lose:1"}, trOK, 1, 2, false);
    row("copies, a refused block", {"--copies", "2", "--fault", "60:error:all"}, trDeviceError, 60, 3, false);
    row("copies", {"--copies", "3"}, trOK, -1, 1, false);
    row("copies and loss", {"--copies", "3", "--drop", "0.1", "--seed", "14"}, AnyTruthful, Unchecked, 0,
        false);
    // Having lost block 1, it repeats ACK 0 on its own timer and ignores block 2.
    row("RFC 1350 receiver, block 1 lost", {"--in-order", "--resend-ms", "400", "--fault", "1:lose:1"}, trOK,
        1, 2, true);
    // A device whose ACKs all carry 0 never shows its numbering: any ACK still counts.
    row("ACKs all numbered 0", {"--zero-acks"}, trOK, -1, 1, false);
    row("ACKs all numbered 0, one block lost", {"--zero-acks", "--fault", "7:lose:1"}, trOK, 7, 2, true);
    row("ACKs a block behind", {"--ack-skew", "-1"}, trTimeout, 2, 3, true,
        "отвечало (ответов: 3), но ни один ответ не подтвердил блок 2");
    // Port unreachable while it came up says nothing of where it stopped later.
    row("up late, then stops", {"--fault", "50:silent:all"}, trTimeout, 50, 3, true,
        QString("приняло 49 из %1 блоков и перестало отвечать на блоке 50").arg(FirmwareSize / 512 + 1),
        "late");
    // A TFTP server answers the WRQ from a port of its own and waits there.
    row("a TFTP server", {}, trTimeout, Unchecked, 0, false,
        "ответило только на запрос записи, причём не с порта 69", "tftpd-hpa");
}

void TestTftpClient::deviceBehaviour()
{
    QFETCH(QString, peer);
    QFETCH(int, result);
    QFETCH(int, repeated);
    QFETCH(int, times);
    QFETCH(bool, waited);
    QFETCH(QString, reason);
    QFETCH(bool, shortLimit);
    TSimDevice sim;
    if (peer.isEmpty())
        QVERIFY2(sim.Listening(), qPrintable(sim.Errors()));
    std::optional<TTftpClient> client;
    if (shortLimit)
        client.emplace(ClientAddress, FirmwareBytes(), ShortTimeoutMs);
    else
        client.emplace(ClientAddress);
    const int outcome = client->Upload(DeviceAddress, FirmwareFileName);
    sim.Finish();
    if (result == AnyTruthful)
        QVERIFY2(outcome != trOK || sim.Received() == ImageBytes(), "OK for an image the device lacks");
    else
        QCOMPARE(outcome, result);
    if (!reason.isEmpty()) {
        const QString said = TimeoutReason(client->Evidence(), ClientAddress, DeviceAddress);
        QVERIFY2(said.contains(reason), qPrintable(said));
    }
    QVERIFY(!client->Evidence().NothingCouldBeSent());
    if (repeated == Unchecked)
        return;

    // What reached the device: each packet once, but the repeated one.
    const auto packets = sim.Packets();
    const int blocks = int(FirmwareSize / 512 + 1);
    const int last = result == trOK ? blocks : std::max(repeated, 0);
    for (int block = 0; block <= last; ++block) {
        const int sent = block == 0 ? CountBlock(packets, 2, -1) : CountBlock(packets, 3, block);
        QVERIFY2(sent == (block == repeated ? times : 1),
                 qPrintable(QString("block %1 sent %2 times").arg(block).arg(sent)));
    }
    QCOMPARE(packets.size(), std::size_t(last + 1 + (repeated >= 0 ? times - 1 : 0)));
    if (result == trOK)
        QCOMPARE(sim.Received(), ImageBytes());
    if (waited) {
        // Every repeat, as the device saw it; a first send that leaves late (a busy machine, Wine)
        // shortens the first gap a little.
        const auto [low, high] =
            shortLimit ? std::pair(ShortTimeoutMs - 50, ShortTimeoutMs + 700) : std::pair(2900, 3500);
        const SimPacket *before = nullptr;
        for (const SimPacket &p : packets) {
            if (p.Opcode != (repeated ? 3 : 2) || p.Block != (repeated ? repeated : -1))
                continue;
            if (before) {
                const double gap = p.Ms - before->Ms;
                QVERIFY2(gap > low && gap < high, qPrintable(QString::number(gap)));
            }
            before = &p;
        }
    }
}

void TestTftpClient::strangerOnTheLink_data()
{
    QTest::addColumn<QByteArray>("datagram"); // what the stranger sends, blindly
    QTest::addColumn<int>("result");
    // Empty and opcode-0 datagrams while a device with a 20 ms reply delay takes the image.
    LabRow(__func__, "junk stream", DeviceLab({"--once", "--delay-ms", "20"}, DeviceAddress), QByteArray(),
           int(trOK));
    // ACK 0 from port 4444 of another host, while the device says nothing.
    LabRow(__func__, "forged ACKs, device silent", DeviceLab({"--fault", "0:silent:all"}, DeviceAddress),
           QByteArray("\0\4\0\0", 4), int(trTimeout));
}

void TestTftpClient::strangerOnTheLink()
{
    // 2 s of datagrams at 2,000 a second from 127.0.0.3:4444.
    QFETCH(QByteArray, datagram);
    QFETCH(int, result);
    TSimDevice sim;
    QVERIFY2(sim.Listening(), qPrintable(sim.Errors()));
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread stranger([&] {
        TUdpSocket out;
        if (!out.Bind(0x7F000003, 4444))
            return;
        const char zero[4] = {};
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 4000 && !stop; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(500 * i));
            const bool ok = datagram.isEmpty()
                                ? out.SendTo(zero, i % 2 ? sizeof zero : 0, 0x7F000001, 69)
                                : out.SendTo(datagram.constData(), datagram.size(), 0x7F000001, 69);
            sent += ok;
        }
    });
    TTftpClient client(ClientAddress, FirmwareBytes(), ShortTimeoutMs);
    const TTftpResult outcome = client.Upload(DeviceAddress, FirmwareFileName);
    stop = true;
    stranger.join();
    QCOMPARE(int(outcome), result);
    QVERIFY2(sent > 2000, qPrintable(QString::number(sent))); // the stream overlapped the upload
    const QJsonObject summary = sim.Finish();
    if (result == trOK) {
        // Not even a retry: the device's replies never wait behind the junk.
        QCOMPARE(summary["repeats"].toInt(), 0);
        QCOMPARE(sim.Received(), ImageBytes());
    } else {
        const QString said = TimeoutReason(client.Evidence(), ClientAddress, DeviceAddress);
        // 127.0.0.3, or 127.0.0.1 where Wine binds the stranger's socket to any address.
        QVERIFY2(said.contains(wine::BindIgnored ? "пакеты с адреса 127.0.0.1" : "пакеты с адреса 127.0.0.3"),
                 qPrintable(said));
    }
}

void TestTftpClient::sendsNothing_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("cause"); // what keeps a good request from going out; empty: none
    const auto row = [function = __func__](const char *tag, const QString &host,
                                           const QString &name = FirmwareFileName,
                                           const QString &cause = {}) {
        LabRow(function, tag, DeviceLab({}, DeviceAddress), host, name, cause);
    };
    row("empty host", "");
    row("empty name", DeviceAddress, "");
    row("untouched field", "...");
    row("three groups", "127.0.2");
    row("out of range", "127.0.0.256");
    row("name too long", DeviceAddress, QString(1016, 'n'));
    // Addresses that cannot name one device.
    row("any address", "0.0.0.0");
    row("this network", "0.1.2.3");
    row("limited broadcast", "255.255.255.255");
    row("subnet broadcast", "127.255.255.255");
    row("multicast", "224.0.0.1");
    row("multicast, last", "239.255.255.255");
    row("reserved", "240.0.0.1");
    row("reserved, last", "255.255.255.254");
    // Port 69 on the client's address is taken: sending from any other port is not an option.
    row("port taken", DeviceAddress, FirmwareFileName, "port taken");
    // The system will start no more threads: without a reader no reply could be seen, and the
    // program must go on.
    row("no thread for receiving", DeviceAddress, FirmwareFileName, "no thread");
}

void TestTftpClient::sendsNothing()
{
    QFETCH(QString, host);
    QFETCH(QString, name);
    QFETCH(QString, cause);
    TSimDevice sim;
    QVERIFY2(sim.Listening(), qPrintable(sim.Errors()));
    TUdpSocket squatter;
    if (cause == "port taken")
        QVERIFY(squatter.Bind(0x7F000001, 69));
    else if (cause == "no thread" && !uitest::HoldThreadCount(true))
        QSKIP("no pids cgroup to hold the thread count with");
    TTftpClient client(ClientAddress, FirmwareBytes(), ShortTimeoutMs);
    if (cause == "no thread")
        QVERIFY(uitest::HoldThreadCount(false));
    const qint64 sentBefore = UdpDatagramsSent();
    QVERIFY(sentBefore >= 0);
    // It ends at once: nothing can reach the device, so there is nothing to wait for.
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(client.Upload(host, name), cause.isEmpty() ? trUnknownError : trTimeout);
    QVERIFY2(clock.elapsed() < (cause.isEmpty() ? 1000 : ShortTimeoutMs),
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(UdpDatagramsSent(), sentBefore);
    const TUploadEvidence evidence = client.Evidence();
    if (!cause.isEmpty())
        QVERIFY(evidence.NothingCouldBeSent());
    if (cause == "port taken")
        QCOMPARE(evidence.BindError, TBindError::AddressInUse);
    else if (cause == "no thread")
        QVERIFY(evidence.ReceiverError != 0);
    QTest::qWait(100);
    sim.Finish();
    QCOMPARE(sim.Packets().size(), std::size_t(0));
}

void TestTftpClient::destroyWhileDatagramsArrive()
{
    // Clients are freed right after their upload, whatever is still arriving:
    // a delivery parked for the UI thread, or a stream of junk, must neither
    // deadlock the destructor nor reach the freed client (ASan would see it).
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            TUdpSocket out;
            const char junk[8] = {0, 4, 0, 1};
            for (int i = 0; i < 100000 && !stop; ++i)
                out.SendTo(junk, sizeof junk, 0x7F000001, 69);
        });
        auto client = std::make_unique<TTftpClient>(ClientAddress);
        if (round % 2)
            QTest::qWait(20); // deliveries run and stream on
        else
            QThread::msleep(20); // one delivery parks, waiting for this thread
        client.reset();
        QCoreApplication::sendPostedEvents();
        stop = true;
        flood.join();
    }
}

QTEST_GUILESS_MAIN(TestTftpClient)
#include "tst_tftp_client.moc"
