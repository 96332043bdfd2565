// Whole uploads against the device simulator, inside a namespace of its own:
// the client at 127.0.0.1:69, the simulated device at 127.0.0.2:69.

#include "LoadData.h"
#include "SimulatorProcess.h"
#include "TftpClient.h"
#include "UdpSocket.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace {
const QString ClientAddress = "127.0.0.1";
const QString DeviceAddress = "127.0.0.2";

QByteArray ImageBytes()
{
    return QByteArray(reinterpret_cast<const char *>(FirmwareImage), int(FirmwareSize));
}

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
    void fullUploadIsByteExact();
    void silentDeviceTimesOut();
    void errorThreeTimes();
    void unknownOpcodeThenAck();
    void repliesWithoutOpcodeDoNotStopTheClock_data();
    void repliesWithoutOpcodeDoNotStopTheClock();
    void oversizedReplyCountsByItsOpcode();
    void junkBurstBeforeEveryAck();
    void junkStreamFromAnotherAddress();
    void unusableHostOrNameSendsNothing_data();
    void unusableHostOrNameSendsNothing();
    void leadingZerosAreDecimal();
    void wholeBlockImageEndsWithEmptyData();
    void unboundClientSendsNothing();
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

void TestTftpClient::fullUploadIsByteExact()
{
    SimulatorProcess sim;
    QVERIFY(sim.Start(DeviceAddress, {"--once"}));
    TTftpClient client(ClientAddress);
    QCOMPARE(client.Upload(DeviceAddress, FirmwareFileName), trOK);
    const QJsonObject summary = sim.Finish();
    QCOMPARE(summary["file"].toString(), QString(FirmwareFileName));
    QCOMPARE(summary["mode"].toString(), QString("octet"));
    QCOMPARE(summary["bytes"].toInt(), 61280);
    QCOMPARE(summary["sha256"].toString(),
             QString(QCryptographicHash::hash(ImageBytes(), QCryptographicHash::Sha256).toHex()));
    QCOMPARE(summary["repeats"].toInt(), 0);
    QCOMPARE(sim.Received(), ImageBytes());

    const auto packets = sim.Packets();
    QCOMPARE(packets.size(), std::size_t(121));
    QCOMPARE(packets[0].Opcode, 2);
    QCOMPARE(packets[0].Length, 27);
    for (int block = 1; block <= 120; ++block) {
        QCOMPARE(packets[block].Opcode, 3);
        QCOMPARE(packets[block].Block, block);
        QCOMPARE(packets[block].Length, block < 120 ? 516 : 356);
    }
}

void TestTftpClient::silentDeviceTimesOut()
{
    SimulatorProcess sim;
    QVERIFY(sim.Start(DeviceAddress, {"--fault", "0:silent:all"}));
    TTftpClient client(ClientAddress);
    QCOMPARE(client.Upload(DeviceAddress, FirmwareFileName), trTimeout);
    sim.Finish();
    const auto packets = sim.Packets();
    QCOMPARE(packets.size(), std::size_t(3));
    for (const SimPacket &p : packets) {
        QCOMPARE(p.Opcode, 2);
        QCOMPARE(p.Length, 27);
    }
    // Each attempt waits its full 3,000 ms before the next.
    for (int i = 1; i < 3; ++i) {
        const double gap = packets[i].Ms - packets[i - 1].Ms;
        QVERIFY2(gap > 2950 && gap < 3500, qPrintable(QString::number(gap)));
    }
}

void TestTftpClient::errorThreeTimes()
{
    SimulatorProcess sim;
    QVERIFY(sim.Start(DeviceAddress, {"--fault", "0:error:all"}));
    TTftpClient client(ClientAddress);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(client.Upload(DeviceAddress, FirmwareFileName), trDeviceError);
    QVERIFY(clock.elapsed() < 2500); // ERROR ends each wait at once
    sim.Finish();
    const auto packets = sim.Packets();
    QCOMPARE(packets.size(), std::size_t(3));
    QCOMPARE(CountBlock(packets, 2, -1) + CountBlock(packets, 2, 0), 3);
}

void TestTftpClient::unknownOpcodeThenAck()
{
    SimulatorProcess sim;
    QVERIFY(sim.Start(DeviceAddress, {"--once", "--fault", "5:unknown:1"}));
    TTftpClient client(ClientAddress);
    QCOMPARE(client.Upload(DeviceAddress, FirmwareFileName), trOK);
    const QJsonObject summary = sim.Finish();
    const auto packets = sim.Packets();
    QCOMPARE(CountBlock(packets, 3, 5), 2);
    QCOMPARE(CountBlock(packets, 3, 4), 1);
    QCOMPARE(CountBlock(packets, 3, 6), 1);
    QCOMPARE(packets.size(), std::size_t(122));
    QCOMPARE(summary["repeats"].toInt(), 1);
    QCOMPARE(sim.Received(), ImageBytes());
}

void TestTftpClient::repliesWithoutOpcodeDoNotStopTheClock_data()
{
    QTest::addColumn<QStringList>("fault");
    QTest::newRow("opcode 0") << QStringList{"3:zero:1"};
    QTest::newRow("one byte 0x00") << QStringList{"3:onebyte:1"};
    QTest::newRow("one byte 0x04") << QStringList{"3:onebyte:1", "--onebyte-value", "4"};
}

void TestTftpClient::repliesWithoutOpcodeDoNotStopTheClock()
{
    // The device answers block 3 once with junk: the attempt must still time out
    // after 3,000 ms and send block 3 again, not hang and not take it as an ACK.
    QFETCH(QStringList, fault);
    SimulatorProcess sim;
    QVERIFY(sim.Start(DeviceAddress, QStringList{"--once", "--fault"} + fault));
    TTftpClient client(ClientAddress);
    QCOMPARE(client.Upload(DeviceAddress, FirmwareFileName), trOK);
    sim.Finish();
    const auto packets = sim.Packets();
    QCOMPARE(CountBlock(packets, 3, 3), 2);
    QCOMPARE(packets.size(), std::size_t(122));
    const auto first = std::find_if(packets.begin(), packets.end(),
                                    [](const SimPacket &p) { return p.Opcode == 3 && p.Block == 3; });
    const double gap = (first + 1)->Ms - first->Ms;
    QVERIFY2(gap > 2950 && gap < 3500, qPrintable(QString::number(gap)));
    QCOMPARE(sim.Received(), ImageBytes());
}

void TestTftpClient::oversizedReplyCountsByItsOpcode()
{
    SimulatorProcess sim;
    QVERIFY(sim.Start(DeviceAddress, {"--once", "--fault", "2:oversize:all", "--oversize-bytes", "4000"}));
    TTftpClient client(ClientAddress);
    QCOMPARE(client.Upload(DeviceAddress, FirmwareFileName), trOK);
    sim.Finish();
    QCOMPARE(sim.Packets().size(), std::size_t(121));
    QCOMPARE(sim.Received(), ImageBytes());
}

void TestTftpClient::junkBurstBeforeEveryAck()
{
    // 200 datagrams without an opcode ahead of every ACK: none may cost a
    // timeout, and none may make a block go out twice.
    QStringList args{"--once", "--flood-count", "200"};
    for (int block = 1; block <= 120; ++block)
        args << "--fault" << QString("%1:flood:all").arg(block);
    SimulatorProcess sim;
    QVERIFY(sim.Start(DeviceAddress, args));
    TTftpClient client(ClientAddress);
    QCOMPARE(client.Upload(DeviceAddress, FirmwareFileName), trOK);
    const QJsonObject summary = sim.Finish();
    QCOMPARE(summary["repeats"].toInt(), 0);
    QCOMPARE(sim.Packets().size(), std::size_t(121));
    QCOMPARE(sim.Received(), ImageBytes());
}

void TestTftpClient::junkStreamFromAnotherAddress()
{
    // 2 s of empty and opcode-0 datagrams at 2,000 a second from a stranger
    // while a device with a 20 ms reply delay takes the image.
    SimulatorProcess sim;
    QVERIFY(sim.Start(DeviceAddress, {"--once", "--delay-ms", "20"}));
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread stranger([&] {
        TUdpSocket out;
        if (!out.Bind(0x7F000003, 4000))
            return;
        const char zero[4] = {};
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 4000 && !stop; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(500 * i));
            if (out.SendTo(zero, i % 2 ? sizeof zero : 0, 0x7F000001, 69))
                ++sent;
        }
    });
    TTftpClient client(ClientAddress);
    const TTftpResult result = client.Upload(DeviceAddress, FirmwareFileName);
    stop = true;
    stranger.join();
    QCOMPARE(result, trOK);
    QVERIFY2(sent > 3000, qPrintable(QString::number(sent))); // the stream overlapped the upload
    // Not even a retry: the device's replies never wait behind the junk.
    QCOMPARE(sim.Finish()["repeats"].toInt(), 0);
    QCOMPARE(sim.Packets().size(), std::size_t(121));
    QCOMPARE(sim.Received(), ImageBytes());
}

void TestTftpClient::unusableHostOrNameSendsNothing_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("name");
    QTest::newRow("empty host") << "" << FirmwareFileName;
    QTest::newRow("empty name") << DeviceAddress << "";
    QTest::newRow("untouched field") << "..." << FirmwareFileName;
    QTest::newRow("three groups") << "127.0.2" << FirmwareFileName;
    QTest::newRow("out of range") << "127.0.0.256" << FirmwareFileName;
    QTest::newRow("name too long") << DeviceAddress << QString(1016, 'n');
    // Addresses that cannot name one device.
    QTest::newRow("any address") << "0.0.0.0" << FirmwareFileName;
    QTest::newRow("this network") << "0.1.2.3" << FirmwareFileName;
    QTest::newRow("limited broadcast") << "255.255.255.255" << FirmwareFileName;
    QTest::newRow("subnet broadcast") << "127.255.255.255" << FirmwareFileName;
    QTest::newRow("multicast") << "224.0.0.1" << FirmwareFileName;
    QTest::newRow("multicast, last") << "239.255.255.255" << FirmwareFileName;
}

void TestTftpClient::unusableHostOrNameSendsNothing()
{
    QFETCH(QString, host);
    QFETCH(QString, name);
    SimulatorProcess sim;
    QVERIFY(sim.Start(DeviceAddress));
    TTftpClient client(ClientAddress);
    const qint64 sentBefore = UdpDatagramsSent();
    QVERIFY(sentBefore >= 0);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(client.Upload(host, name), trUnknownError);
    QVERIFY(clock.elapsed() < 1000);
    QCOMPARE(UdpDatagramsSent(), sentBefore);
    QTest::qWait(100);
    sim.Finish();
    QCOMPARE(sim.Packets().size(), std::size_t(0));
}

void TestTftpClient::leadingZerosAreDecimal()
{
    // "127.0.0.010" is 127.0.0.10; read as octal it would be 127.0.0.8.
    SimulatorProcess ten, eight;
    QVERIFY(ten.Start("127.0.0.10", {"--once"}));
    QVERIFY(eight.Start("127.0.0.8"));
    TTftpClient client(ClientAddress);
    QCOMPARE(client.Upload("127.000.000.010", FirmwareFileName), trOK);
    ten.Finish();
    eight.Finish();
    QCOMPARE(ten.Received(), ImageBytes());
    QCOMPARE(eight.Packets().size(), std::size_t(0));
}

void TestTftpClient::wholeBlockImageEndsWithEmptyData()
{
    QByteArray image(1024, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i / 512 + 1);
    SimulatorProcess sim;
    QVERIFY(sim.Start(DeviceAddress, {"--once"}));
    TTftpClient client(ClientAddress, {reinterpret_cast<const std::uint8_t *>(image.constData()),
                                       std::size_t(image.size())});
    QCOMPARE(client.Upload(DeviceAddress, FirmwareFileName), trOK);
    sim.Finish();
    const auto packets = sim.Packets();
    QCOMPARE(packets.size(), std::size_t(4));
    QCOMPARE(packets[1].Length, 516);
    QCOMPARE(packets[2].Length, 516);
    QCOMPARE(packets[3].Block, 3);
    QCOMPARE(packets[3].Length, 4);
    QCOMPARE(sim.Received(), image);
}

void TestTftpClient::unboundClientSendsNothing()
{
    // Port 69 on the client's address is taken: sending from any other port or
    // interface is not an option, so the upload times out with nothing sent.
    TUdpSocket squatter;
    QVERIFY(squatter.Bind(0x7F000001, 69));
    SimulatorProcess sim;
    QVERIFY(sim.Start(DeviceAddress));
    TTftpClient client(ClientAddress);
    QCOMPARE(client.Upload(DeviceAddress, FirmwareFileName), trTimeout);
    sim.Finish();
    QCOMPARE(sim.Packets().size(), std::size_t(0));
}

QTEST_GUILESS_MAIN(TestTftpClient)
#include "tst_tftp_client.moc"

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
