// The port-69 helper itself, run as root (every capability) in a namespace of
// this test's own: it gives a UDP socket on an interface address and port 69,
// kept to that interface, and nothing for any other request.

#include "BindHelper.h"
#include "BindHelperProtocol.h"
#include "DataRow.h"
#include "uitest_netns.h"

#include <QtTest>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class TestBindHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(uitest::InPrivateNetns(), "run through tests/common/in-netns.sh");
        QCOMPARE(uitest::LabAddresses().value(0), "10.66.0.1"); // txh0, made by the lab
    }

    void onlyAnInterfaceAddressOnPort69_data()
    {
        QTest::addColumn<QStringList>("Args");
        QTest::addColumn<QString>("Channel"); // what the helper finds on its channel descriptor
        QTest::addColumn<int>("Exit");
        const QString Unix = "unix";
        QTest::newRow("an interface's address") << QStringList{"10.66.0.1"} << Unix << int(bhSent);
        QTest::newRow("port after a colon") << QStringList{"10.66.0.1:80"} << Unix << int(bhBadRequest);
        QTest::newRow("port as an argument") << QStringList{"10.66.0.1", "80"} << Unix << int(bhBadRequest);
        QTest::newRow("protocol as an argument")
            << QStringList{"10.66.0.1", "tcp"} << Unix << int(bhBadRequest);
        QTest::newRow("no address") << QStringList{} << Unix << int(bhBadRequest);
        // Forms an address parser would read as 10.66.0.1, or near it.
        for (const QString Form :
             {"10.66.0.01", "10.66.1", "0xa.66.0.1", "172097537", " 10.66.0.1", "10.66.0.1\n"})
            QTest::addRow("form \"%s\"", qPrintable(QString(Form).replace('\n', "\\n")))
                << QStringList{Form} << Unix << int(bhBadRequest);
        QTest::newRow("not on this machine") << QStringList{"10.66.0.2"} << Unix << int(bhNotLocal);
        QTest::newRow("any address") << QStringList{"0.0.0.0"} << Unix << int(bhNotLocal);
        QTest::newRow("subnet broadcast") << QStringList{"10.66.0.255"} << Unix << int(bhNotLocal);
        QTest::newRow("multicast") << QStringList{"224.0.0.1"} << Unix << int(bhNotLocal);
        // Local, but no device is behind them.
        QTest::newRow("loopback's address") << QStringList{"127.0.0.1"} << Unix << int(bhNotLocal);
        uitest::LabRow(__func__, "an address on loopback",
                       "ip addr add 10.66.1.1/32 dev lo; LAB_UNDO+=('ip addr del 10.66.1.1/32 dev lo')",
                       QStringList{"10.66.1.1"}, Unix, int(bhNotLocal));
        uitest::LabRow(__func__, "a loopback address on a card", "lab_link txh1 127.66.0.1/16",
                       QStringList{"127.66.0.1"}, Unix, int(bhNotLocal));
        uitest::LabRow(__func__, "a card switched off", "lab_link txh2 10.66.2.1/24 down",
                       QStringList{"10.66.2.1"}, Unix, int(bhInterfaceDown));
        QTest::newRow("port taken") << QStringList{"10.66.0.1"} << "taken" << int(bhInUse);
        QTest::newRow("channel a pipe") << QStringList{"10.66.0.1"} << "pipe" << int(bhNoChannel);
        QTest::newRow("channel a UDP socket") << QStringList{"10.66.0.1"} << "udp" << int(bhNoChannel);
        QTest::newRow("no channel") << QStringList{"10.66.0.1"} << "none" << int(bhNoChannel);
    }
    void onlyAnInterfaceAddressOnPort69()
    {
        QFETCH(QStringList, Args);
        QFETCH(QString, Channel);
        QFETCH(int, Exit);
        int Ends[2] = {-1, -1};
        if (Channel == "pipe")
            QVERIFY(::pipe2(Ends, O_CLOEXEC) == 0);
        else if (Channel == "udp")
            Ends[1] = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        else if (Channel != "none")
            QVERIFY(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, Ends) == 0);
        TUdpSocket Holder;
        if (Channel == "taken")
            QVERIFY(Holder.Bind(0x0A420001, 69));

        QProcess Helper;
        const int Given = Ends[1];
        Helper.setChildProcessModifier([Given] {
            if (Given < 0 || ::dup2(Given, BindHelperChannelFd) < 0)
                ::close(BindHelperChannelFd);
            ::fcntl(BindHelperChannelFd, F_SETFD, 0);
        });
        Helper.start(qEnvironmentVariable("TXL_BIND_HELPER"), Args);
        QVERIFY(Helper.waitForFinished(5000));
        QCOMPARE(Helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(Helper.exitCode(), Exit);

        // What came over the channel: a socket only for the good request.
        const int Fd = ReceiveHelperSocket(Ends[0], 0);
        for (int End : Ends)
            ::close(End);
        QCOMPARE(Fd >= 0, Exit == bhSent);
        if (Fd < 0)
            return;
        sockaddr_in Local{};
        socklen_t Length = sizeof Local;
        int Type = 0, Protocol = 0;
        socklen_t TypeLength = sizeof Type, ProtocolLength = sizeof Protocol;
        char Device[IFNAMSIZ] = {};
        socklen_t DeviceLength = sizeof Device;
        QVERIFY(::getsockname(Fd, reinterpret_cast<sockaddr *>(&Local), &Length) == 0 &&
                ::getsockopt(Fd, SOL_SOCKET, SO_TYPE, &Type, &TypeLength) == 0 &&
                ::getsockopt(Fd, SOL_SOCKET, SO_PROTOCOL, &Protocol, &ProtocolLength) == 0 &&
                ::getsockopt(Fd, SOL_SOCKET, SO_BINDTODEVICE, Device, &DeviceLength) == 0);
        ::close(Fd);
        QCOMPARE(ntohl(Local.sin_addr.s_addr), 0x0A420001u);
        QCOMPARE(ntohs(Local.sin_port), 69);
        QCOMPARE(Type, SOCK_DGRAM);
        QCOMPARE(Protocol, int(IPPROTO_UDP));
        QCOMPARE(QByteArray(Device), QByteArray("txh0"));
    }
};

QTEST_GUILESS_MAIN(TestBindHelper)
#include "tst_bind_helper.moc"
