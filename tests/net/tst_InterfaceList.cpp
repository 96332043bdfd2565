#include "InterfaceInfo.h"
#include "LocalAddresses.h"
#include "uitest_netns.h"

#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <optional>
#include <vector>

// Allocations of the size of TInterfaceParams are recorded while the watch is armed, so a
// test can tell which parameter objects were released and how often, and can make one fail.
namespace {
struct TAllocWatch {
    static constexpr int Capacity = 256;
    bool Armed = false;
    int FailAt = 0; // the n-th watched allocation throws std::bad_alloc; 0: none
    int Count = 0;
    void *Ptr[Capacity] = {};
    int Frees[Capacity] = {};
};
TAllocWatch Watch;
} // namespace

void *operator new(std::size_t Size)
{
    const bool Watched = Watch.Armed && Size == sizeof(TInterfaceParams);
    if (Watched && Watch.FailAt > 0 && --Watch.FailAt == 0)
        throw std::bad_alloc();
    void *P = std::malloc(Size != 0 ? Size : 1);
    if (P == nullptr)
        throw std::bad_alloc();
    if (Watched && Watch.Count < TAllocWatch::Capacity) {
        Watch.Ptr[Watch.Count] = P;
        Watch.Frees[Watch.Count++] = 0;
    }
    return P;
}

void operator delete(void *P) noexcept
{
    // The newest record wins: malloc hands a released address out again.
    for (int I = Watch.Armed ? Watch.Count - 1 : -1; P != nullptr && I >= 0; --I)
        if (Watch.Ptr[I] == P) {
            ++Watch.Frees[I];
            break;
        }
    std::free(P);
}

void operator delete(void *P, std::size_t) noexcept
{
    operator delete(P);
}

namespace {

// Runs `ip -o` (commands on stdin for -batch) and returns the fields of each output line, or
// nothing when it fails. It only ever changes the test's own namespace.
std::optional<QList<QStringList>> Ip(const QStringList &Args, const QString &Input = {})
{
    QString Output;
    if (!uitest::Ip(QStringList{"-o"} + Args, &Output, Input.toUtf8())) {
        qWarning("ip: %s", qPrintable(Output));
        return std::nullopt;
    }
    QList<QStringList> Lines;
    for (const QString &Line : Output.split('\n', Qt::SkipEmptyParts))
        Lines << Line.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts);
    return Lines;
}

QStringList LinkNames()
{
    QStringList Names;
    for (const QStringList &F : Ip({"link", "show"}).value_or(QList<QStringList>{}))
        Names << F.value(1).section(':', 0, 0).section('@', 0, 0);
    return Names;
}

// (device, address) of each IPv4 address in the order `ip -4 addr show` reports them.
QList<std::pair<QString, QString>> SystemOrder()
{
    QList<std::pair<QString, QString>> Order;
    for (const QStringList &F : Ip({"-4", "addr", "show"}).value_or(QList<QStringList>{}))
        if (F.value(2) == "inet")
            Order.append({F[1].section('@', 0, 0), F.value(3).section('/', 0, 0)});
    return Order;
}

QStringList Texts(const TNetInterfaceList &List)
{
    QStringList Result;
    for (int I = 0; I < List.Count(); ++I)
        Result << List.Strings(I);
    return Result;
}

void SetSwitches(TNetInterfaceList &List, bool UseDown = true, bool UseLoopBack = true, bool UsePPP = true)
{
    List.SetUseDown(UseDown);
    List.SetUseLoopBack(UseLoopBack);
    List.SetUsePPP(UsePPP);
}

QSet<const void *> HeldObjects(const TNetInterfaceList &List, int From = 0)
{
    QSet<const void *> Held;
    for (int I = From; I < List.Count(); ++I)
        Held << List.Objects(I);
    return Held;
}

// Every watched parameter object has been released exactly once, except those still held.
bool ReleasedOnceExcept(const QSet<const void *> &Held)
{
    for (int I = 0; I < Watch.Count; ++I) {
        bool Newest = true;
        for (int J = I + 1; J < Watch.Count; ++J)
            Newest = Newest && Watch.Ptr[J] != Watch.Ptr[I];
        const int Want = (Newest && Held.contains(Watch.Ptr[I])) ? 0 : 1;
        if (Watch.Frees[I] != Want) {
            qWarning("parameter object %d released %d times, expected %d", I, Watch.Frees[I], Want);
            return false;
        }
    }
    return true;
}

// Besides lo: a broadcast interface up and one down, a point-to-point link up and one down.
const char FilterSetup[] = "link add br0 type bridge\n"
                           "addr add 10.1.0.1/24 brd + dev br0\n"
                           "link set br0 up\n"
                           "link add br1 type bridge\n"
                           "addr add 10.2.0.1/24 brd + dev br1\n"
                           "tuntap add mode tun tun0\n"
                           "addr add 10.9.0.1 peer 10.9.0.2 dev tun0\n"
                           "link set tun0 up\n"
                           "tuntap add mode tun tun1\n"
                           "addr add 10.9.1.1 peer 10.9.1.2 dev tun1\n";
// More of what an address can be: several on one interface, one on two interfaces, with and
// without a broadcast address, a peer on a bridge, and an interface with IPv6 only.
const char AddressSetup[] = "addr add 172.16.5.9/20 dev br0\n"
                            "addr add 10.6.0.1/16 brd 10.6.0.0 dev br0\n"
                            "addr add 192.0.2.5/24 brd + dev br0\n"
                            "link add br2 type bridge\n"
                            "addr add 10.1.0.1/24 brd + dev br2\n"
                            "addr add 10.7.0.1 peer 10.7.0.2 dev br2\n"
                            "link set br2 up\n"
                            "link add br3 type bridge\n"
                            "addr add fd00::1/64 dev br3\n"
                            "link set br3 up\n";

} // namespace

class TestInterfaceList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void filterSwitches_data();
    void filterSwitches();
    void manyInterfacesInSystemOrder();
    void ownershipAndFailures();
    void addressText_data();
    void addressText();
    void deviceAddressCheck();
};

void TestInterfaceList::initTestCase()
{
    // Interfaces are created and deleted here: never in the namespace of whoever started us.
    const QByteArray Own = uitest::NetnsOf("self");
    QVERIFY2(!Own.isEmpty() && Own != uitest::OuterNetns(),
             "run inside a network namespace of its own (tests/common/in-netns.sh)");
    QCOMPARE(LinkNames(), QStringList{"lo"});
}

void TestInterfaceList::cleanup()
{
    QString Script = "link set lo up\n";
    for (const QString &Name : LinkNames())
        if (Name != "lo")
            Script += "link del " + Name + "\n";
    QVERIFY(Ip({"-batch", "-"}, Script));
    QCOMPARE(LinkNames(), QStringList{"lo"});
}

void TestInterfaceList::filterSwitches_data()
{
    QTest::addColumn<bool>("LoUp");
    QTest::addColumn<bool>("UseDown");
    QTest::addColumn<bool>("UseLoopBack");
    QTest::addColumn<bool>("UsePPP");
    QTest::addColumn<QStringList>("Listed");
    // The switches a row sets are in its name: "all", or some of them; loopback down where it says so.
    const auto Row = [](const char *Name, const char *Listed) {
        const QString Set(Name);
        const auto On = [&Set](const char *Switch) { return Set.contains(Switch) || Set.endsWith("all"); };
        QTest::newRow(Name) << !Set.startsWith("lo down") << On("UseDown") << On("UseLoopBack")
                            << On("UsePPP") << QString(Listed).split(' ');
    };
    Row("defaults", "br0 br2");
    Row("UseDown", "br0 br1 br2");
    Row("UseLoopBack", "lo br0 br2");
    Row("UsePPP", "br0 br2 tun0");
    Row("UseDown UseLoopBack", "lo br0 br1 br2");
    Row("UseDown UsePPP", "br0 br1 br2 tun0 tun1");
    Row("UseLoopBack UsePPP", "lo br0 br2 tun0");
    Row("all", "lo br0 br1 br2 tun0 tun1");
    Row("lo down, UseLoopBack UsePPP", "br0 br2 tun0");
    Row("lo down, UseDown UsePPP", "br0 br1 br2 tun0 tun1");
    Row("lo down, UseDown UseLoopBack", "lo br0 br1 br2");
    Row("lo down, all", "lo br0 br1 br2 tun0 tun1");
}

void TestInterfaceList::filterSwitches()
{
    QFETCH(bool, LoUp);
    QFETCH(bool, UseDown);
    QFETCH(bool, UseLoopBack);
    QFETCH(bool, UsePPP);
    QFETCH(QStringList, Listed);
    QVERIFY(Ip({"-batch", "-"}, FilterSetup + QString(AddressSetup) + (LoUp ? "" : "link set lo down\n")));
    QCOMPARE(
        Ip({"-6", "addr", "show", "dev", "br3", "scope", "global"}).value_or(QList<QStringList>{}).size(), 1);

    TNetInterfaceList List;
    const auto Switches = [&List] { return QList<bool>{List.UseDown(), List.UseLoopBack(), List.UsePPP()}; };
    QCOMPARE(Switches(), QList<bool>(3, false));
    SetSwitches(List, UseDown, UseLoopBack, UsePPP);
    QCOMPARE(Switches(), (QList<bool>{UseDown, UseLoopBack, UsePPP}));
    List.Refresh();

    // Each address the setup made: its interface's flags, then netmask and broadcast address.
    const QHash<QString, QString> Made{
        {"lo 127.0.0.1", (LoUp ? "up " : "") + QString("loopback 255.0.0.0 -")},
        {"br0 10.1.0.1", "up broadcast 255.255.255.0 10.1.0.255"},
        {"br0 172.16.5.9", "up broadcast 255.255.240.0 -"},
        {"br0 10.6.0.1", "up broadcast 255.255.0.0 10.6.0.0"},
        {"br0 192.0.2.5", "up broadcast 255.255.255.0 192.0.2.255"},
        {"br1 10.2.0.1", "broadcast 255.255.255.0 10.2.0.255"},
        {"br2 10.1.0.1", "up broadcast 255.255.255.0 10.1.0.255"},
        {"br2 10.7.0.1", "up broadcast 255.255.255.255 -"},
        {"tun0 10.9.0.1", "up ppp 255.255.255.255 -"},
        {"tun1 10.9.1.1", "ppp 255.255.255.255 -"}};
    QStringList Expected, Actual;
    for (const auto &[Device, Address] : SystemOrder())
        if (Listed.contains(Device))
            Expected << Device + " " + Address + ": " + Made.value(Device + " " + Address);
    QCOMPARE(Expected.size(), int(std::count_if(Made.keyBegin(), Made.keyEnd(), [&](const QString &Key) {
                 return Listed.contains(Key.section(' ', 0, 0));
             })));
    for (int I = 0; I < List.Count(); ++I) {
        const TInterfaceParams &P = *List.Objects(I);
        const QStringList Set{P.IsUp ? "up" : "",
                              P.IsBroadcast ? "broadcast" : "",
                              P.IsLoopBack ? "loopback" : "",
                              P.IsPPP ? "ppp" : "",
                              P.Netmask,
                              P.Broadcast.isEmpty() ? "-" : P.Broadcast};
        Actual << P.Name + " " + List.Strings(I) + ": " +
                      QStringList(Set).filter(QRegularExpression(".")).join(' ');
    }
    QCOMPARE(Actual, Expected);
}

void TestInterfaceList::manyInterfacesInSystemOrder()
{
    // More than a 1,024-byte table of 76-byte records holds, created in an order that is
    // neither the order of their names nor that of their addresses.
    const int Bridges = 20;
    QString Script;
    for (int I = 0; I < Bridges; ++I)
        Script +=
            QString("link add br%1 type bridge\naddr add 10.30.%2.1/24 brd + dev br%1\nlink set br%1 up\n")
                .arg(I * 7 % Bridges)
                .arg(I * 13 % Bridges);
    QVERIFY(Ip({"-batch", "-"}, Script));
    QStringList Expected;
    for (const auto &[Device, Address] : SystemOrder())
        if (Device != "lo")
            Expected << Address;
    QCOMPARE(Expected.size(), Bridges);

    TNetInterfaceList List;
    List.Refresh();
    QCOMPARE(Texts(List), Expected);
    List.Refresh();
    QCOMPARE(Texts(List), Expected + Expected);
}

void TestInterfaceList::ownershipAndFailures()
{
    QVERIFY(Ip({"-batch", "-"}, FilterSetup));
    const int Records = SystemOrder().size();
    QCOMPARE(Records, 5);

    // Dropped records release their objects at once, held ones go with the list.
    auto Defaults = std::make_unique<TNetInterfaceList>();
    Watch = {.Armed = true};
    Defaults->Refresh();
    const QSet<const void *> Held = HeldObjects(*Defaults);
    const bool ReleasedOnRefresh = ReleasedOnceExcept(Held);
    Defaults.reset();
    const bool ReleasedWithList = ReleasedOnceExcept({});
    Watch.Armed = false;
    QCOMPARE(Held.size(), 1);
    QVERIFY(ReleasedOnRefresh);
    QVERIFY(ReleasedWithList);

    // Memory runs out at the third record: the entries before it stay, nothing leaks.
    TNetInterfaceList List;
    SetSwitches(List);
    List.Refresh();
    const QStringList First = Texts(List);
    QCOMPARE(First.size(), Records);
    Watch = {.Armed = true, .FailAt = 3};
    List.Refresh();
    const bool Released = ReleasedOnceExcept(HeldObjects(List, Records));
    Watch = {};
    QCOMPARE(Texts(List), First + First.mid(0, 2));
    QVERIFY(Released);

    // The system cannot be asked (no file descriptor left): nothing added, nothing lost.
    rlimit Old{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &Old), 0);
    const rlimit Low{.rlim_cur = 64, .rlim_max = Old.rlim_max};
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &Low), 0);
    std::vector<int> Fds;
    int Fd = -1;
    while (Fds.size() < 64 && (Fd = open("/dev/null", O_RDONLY)) >= 0)
        Fds.push_back(Fd);
    const int Error = errno;
    TNetInterfaceList Fresh;
    Fresh.Refresh();
    List.Refresh();
    for (int Open : Fds)
        close(Open);
    setrlimit(RLIMIT_NOFILE, &Old);
    QCOMPARE(Error, EMFILE);
    QCOMPARE(Fresh.Count(), 0);
    QCOMPARE(List.Count(), Records + 2);
}

void TestInterfaceList::addressText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("formatted"); // empty: no address
    QTest::addColumn<bool>("oneHost");      // may name one device
    const auto Row = [](const char *Name, const char *Text, const char *Formatted, bool OneHost) {
        QTest::newRow(Name) << Text << Formatted << OneHost;
    };
    Row("default", "192.168.0.200", "192.168.0.200", true);
    // Read as octal, 127.0.0.010 would be another device, 127.0.0.8.
    Row("leading zeros are decimal", "192.168.010.001", "192.168.10.1", true);
    Row("nine is no octal digit", "192.168.0.09", "192.168.0.9", true);
    Row("edges", "0.0.0.0", "0.0.0.0", false);
    Row("all ones", "255.255.255.255", "255.255.255.255", false);
    Row("empty field", "...", "", false);
    Row("empty", "", "", false);
    Row("three groups", "192.168.0", "", false);
    Row("over 255", "192.168.0.256", "", false);
    Row("four digits", "192.168.0.0200", "", false);
    Row("hex", "0x7f.0.0.1", "", false);
    Row("blank inside", "192.168. 0.200", "", false);
    Row("trailing blank", "192.168.0.200 ", "", false);
    Row("trailing dot", "192.168.0.200.", "", false);
    Row("sign", "+1.2.3.4", "", false);
    Row("single number", "3232235720", "", false);
    Row("host name", "device.local", "", false);
    Row("not Latin", "192.168.0.２００", "", false);
    Row("this network", "0.1.2.3", "0.1.2.3", false);
    Row("multicast low", "224.0.0.1", "224.0.0.1", false);
    Row("below multicast", "223.255.255.255", "223.255.255.255", true);
    Row("reserved", "240.0.0.1", "240.0.0.1", false);
}

void TestInterfaceList::addressText()
{
    QFETCH(QString, text);
    QFETCH(QString, formatted);
    QFETCH(bool, oneHost);
    const std::optional<TIpv4> Parsed = ipv4::Parse(text.toStdString());
    QCOMPARE(Parsed ? QString::fromStdString(ipv4::Format(*Parsed)) : QString(), formatted);
    if (Parsed)
        QCOMPARE(ipv4::IsSingleHost(*Parsed), oneHost);
}

void TestInterfaceList::deviceAddressCheck()
{
    // One set of interfaces for every case: making it is what takes the time.
    QVERIFY(Ip({"-batch", "-"}, FilterSetup + QString(AddressSetup)));
    const auto Usable = TDeviceAddressCheck::Usable, NotOne = TDeviceAddressCheck::NotOneDevice,
               Own = TDeviceAddressCheck::OwnAddress;
    const struct {
        const char *Case, *Device, *Local; // Local empty: any interface
        TDeviceAddressCheck Check;
    } Cases[] = {
        {"a device on the subnet", "10.1.0.200", "10.1.0.1", Usable},
        {"the subnet's broadcast", "10.1.0.255", "10.1.0.1", NotOne},
        {"the broadcast the system reports", "10.6.0.0", "10.6.0.1", NotOne},
        {"another interface's broadcast, from any", "10.2.0.255", "", NotOne},
        // Bound to its own interface, that is just an address of another subnet.
        {"another interface's broadcast, from one", "10.2.0.255", "10.1.0.1", Usable},
        {"multicast", "224.0.0.1", "10.1.0.1", NotOne},
        {"this PC, the interface's own", "10.1.0.1", "10.1.0.1", Own},
        {"this PC, another card", "172.16.5.9", "10.1.0.1", Own},
        {"this PC, a switched-off card", "10.2.0.1", "", Own},
        {"this PC, loopback", "127.0.0.1", "", Own},
        {"a point-to-point peer", "10.9.0.2", "10.9.0.1", Usable},
    };
    // On /31 and /32 every address is a host.
    QCOMPARE(ipv4::DirectedBroadcast(0xC0A8000A, 0xFFFFFF00), std::optional<TIpv4>(0xC0A800FF));
    QVERIFY(!ipv4::DirectedBroadcast(0xC0A8000A, 0xFFFFFFFE));
    QVERIFY(!ipv4::DirectedBroadcast(0xC0A8000A, 0xFFFFFFFF));
    for (const auto &C : Cases)
        QVERIFY2(CheckDeviceAddress(*ipv4::Parse(C.Device), ipv4::Parse(C.Local).value_or(0)) == C.Check,
                 C.Case);
}

QTEST_GUILESS_MAIN(TestInterfaceList)
#include "tst_InterfaceList.moc"
