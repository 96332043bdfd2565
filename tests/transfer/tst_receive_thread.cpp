// The receive thread on real loopback sockets (run inside a namespace of its own).

#include "Limits.h"
#include "ReceiveThread.h"
#include "TftpPacket.h"
#include "UdpSocket.h"

#include <QTest>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace {
constexpr std::uint32_t Loopback = 0x7F000001;
constexpr std::uint16_t ListenPort = 40069;
constexpr std::uint16_t SenderPort = 40070;

struct Delivery {
    QByteArray Bytes;
    TIpv4 Address;
    std::uint16_t Port;
};
} // namespace

class TestReceiveThread : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void deliversInArrivalOrderOneAtATime();
    void dropsWithoutListener();
    void longAndShortDatagrams();
    void portUnreachableIsNoDatagram();
    void stopEndsWithoutTraffic();
    void shutdownWakesABlockedReceive();
    void destroyWithDeliveryPending();
    void destroyWhileDatagramsStreamIn();

private:
    void Send(const QByteArray &bytes)
    {
        QVERIFY(FSender->SendTo(bytes.constData(), bytes.size(), Loopback, ListenPort));
    }
    void Listen()
    {
        FThread->OnReceiveData = [this](TReceiveThread *sender, TReceiveData data) {
            QCOMPARE(sender, FThread.get());
            // The thread waits for each listener call, so calls never overlap.
            QVERIFY(!FInListener);
            FInListener = true;
            FDeliveries.push_back(
                {QByteArray(reinterpret_cast<const char *>(data.Data), data.Len), data.Address, data.Port});
            QTest::qSleep(2);
            FInListener = false;
        };
    }
    // Exactly these deliveries, in order, and no more within 200 ms.
    void ExpectDeliveries(const QList<QByteArray> &expected)
    {
        QTRY_COMPARE_WITH_TIMEOUT(FDeliveries.size(), std::size_t(expected.size()), 5000);
        for (std::size_t i = 0; i < FDeliveries.size(); ++i)
            QCOMPARE(FDeliveries[i].Bytes, expected[i]);
        QTest::qWait(200);
        QCOMPARE(FDeliveries.size(), std::size_t(expected.size()));
    }

    std::unique_ptr<TUdpSocket> FSocket;
    std::unique_ptr<TUdpSocket> FSender;
    std::unique_ptr<TReceiveThread> FThread;
    std::vector<Delivery> FDeliveries;
    bool FInListener = false;
};

void TestReceiveThread::init()
{
    FDeliveries.clear();
    FSocket = std::make_unique<TUdpSocket>();
    QVERIFY(FSocket->SetReceiveTimeout(100));
    QVERIFY(FSocket->Bind(Loopback, ListenPort));
    FSender = std::make_unique<TUdpSocket>();
    QVERIFY(FSender->Bind(Loopback, SenderPort));
    FThread = std::make_unique<TReceiveThread>(*FSocket);
}

void TestReceiveThread::cleanup()
{
    FThread.reset();
    FSocket.reset();
    FSender.reset();
}

void TestReceiveThread::deliversInArrivalOrderOneAtATime()
{
    Listen();
    // Queue several datagrams before the UI thread serves any event.
    QList<QByteArray> sent;
    for (int i = 0; i < 6; ++i)
        Send(sent.emplace_back(QByteArray("\x00\x04\x00", 3) + char(i) + QByteArray(i * 10, 'x')));
    ExpectDeliveries(sent);
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(FDeliveries[i].Address, Loopback);
        QCOMPARE(FDeliveries[i].Port, SenderPort);
    }
}

void TestReceiveThread::dropsWithoutListener()
{
    Send("early-1");
    Send("early-2");
    // Let both reach delivery and be dropped there.
    QTest::qWait(300);
    Listen();
    Send("late");
    ExpectDeliveries({"late"});
}

void TestReceiveThread::longAndShortDatagrams()
{
    Listen();
    QByteArray big(2000, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    Send(big);
    Send(QByteArray(5000, 'z'));
    // Whatever it is: judging it is the upload's business.
    Send(QByteArray());
    Send(QByteArray(1, '\x04'));
    Send(QByteArray(1, '\0'));
    Send(QByteArray(600, '\0'));
    Send(QByteArray("\x00\x04", 2));
    // Cut to what the record holds, never beyond; a short datagram is as long as it is, whatever
    // came before.
    ExpectDeliveries({big.left(1024), QByteArray(1024, 'z'), QByteArray(), QByteArray(1, '\x04'),
                      QByteArray(1, '\0'), QByteArray(600, '\0'), QByteArray("\x00\x04", 2)});
}

void TestReceiveThread::portUnreachableIsNoDatagram()
{
    TXL_SKIP_IF(wine::NoPortUnreachable, "Wine hands a receive no ICMP port-unreachable report");
    Listen();
    // Nothing listens on that port: the kernel answers with ICMP port
    // unreachable, which is counted, and is no datagram to hand over.
    QVERIFY(FSocket->SendTo("x", 1, Loopback, SenderPort + 1));
    QTRY_VERIFY_WITH_TIMEOUT(FSocket->PortUnreachableReports() >= 1, 5000);
    Send(QByteArray("\x00\x04\x00\x01", 4));
    ExpectDeliveries({QByteArray("\x00\x04\x00\x01", 4)});
}

void TestReceiveThread::stopEndsWithoutTraffic()
{
    QElapsedTimer Clock;
    Clock.start();
    FThread->Stop();
    FThread.reset(); // joins it
    // Bounded by the 100 ms receive timeout; 2 s is only a hang guard.
    QVERIFY2(Clock.elapsed() < 2000, qPrintable(QString::number(Clock.elapsed())));
}

void TestReceiveThread::shutdownWakesABlockedReceive()
{
    // Without a receive timeout only the shutdown can end this receive.
    TUdpSocket socket;
    QVERIFY(socket.Bind(Loopback, ListenPort + 10));
    std::promise<long> received;
    std::future<long> result = received.get_future();
    std::thread reader([&] {
        std::uint8_t buffer[16];
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        received.set_value(socket.ReceiveFrom(buffer, sizeof buffer, address, port));
    });
    QThread::msleep(50);
    socket.ShutdownReceive();
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        reader.detach();
        QFAIL("receive still blocked after shutdown");
    }
    reader.join();
    QVERIFY(result.get() <= 0);
}

void TestReceiveThread::destroyWithDeliveryPending()
{
    int calls = 0;
    FThread->OnReceiveData = [&calls](TReceiveThread *, TReceiveData) { ++calls; };
    Send("pending");
    // Give the thread time to receive and park on the delivery, without serving events.
    QThread::msleep(300);
    FThread.reset(); // must neither deadlock nor leave the delivery queued
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(calls, 0);
}

void TestReceiveThread::destroyWhileDatagramsStreamIn()
{
    int calls = 0;
    FThread->OnReceiveData = [&calls](TReceiveThread *, TReceiveData) { ++calls; };
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        TUdpSocket out;
        const char junk[64] = {0, 4};
        for (int i = 0; i < 200000 && !stop; ++i)
            out.SendTo(junk, sizeof junk, Loopback, ListenPort);
    });
    QTRY_VERIFY_WITH_TIMEOUT(calls > 20, 5000);
    FThread.reset();
    const int atDestruction = calls;
    QTest::qWait(100);
    QCoreApplication::sendPostedEvents();
    stop = true;
    flood.join();
    QCOMPARE(calls, atDestruction);
}

QTEST_GUILESS_MAIN(TestReceiveThread)
#include "tst_receive_thread.moc"
