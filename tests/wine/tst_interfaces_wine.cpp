// The interface list of the Windows build under Wine, against Linux's own view of the same
// interfaces (TXL_EXPECT from its lab, interfaces_wine.sh: "address mask broadcast up loopback;").
//
// What Wine 8.0 reports differently from Windows and from the Linux build:
// - no IFF_POINTTOPOINT: a point-to-point address comes as a broadcast one, mask /32 and
//   broadcast equal to its own address, so the list cannot drop it (no such link is made here);
// - the broadcast address is computed from address and mask, also for an address that has
//   none on Linux (so the addresses here are given one: "brd +").

#include "InterfaceInfo.h"

#include <QTest>

namespace {

struct TExpected {
    QString Address, Netmask, Broadcast;
    bool Up = false, LoopBack = false;
};

QList<TExpected> Expected()
{
    QList<TExpected> Records;
    for (const QString &Line : qEnvironmentVariable("TXL_EXPECT").split(';', Qt::SkipEmptyParts)) {
        const QStringList F = Line.split(' ');
        if (F.size() == 5)
            Records.append({F[0], F[1], F[2] == "-" ? QString() : F[2], F[3] == "1", F[4] == "1"});
    }
    return Records;
}

} // namespace

class TestInterfacesWine : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void everyRecordAsLinuxSeesIt();
    void defaultSwitchesKeepUpAndNotLoopback();
    void secondRefreshAppendsAgain();

private:
    QList<TExpected> FExpected;
};

void TestInterfacesWine::initTestCase()
{
    FExpected = Expected();
    // Loopback, 2 pairs, 2 bridge addresses and 14 more pairs: past the 13 records of 1,024 bytes.
    QVERIFY2(FExpected.size() == 19, "run through tests/common/rows.sh with interfaces_wine.sh as its lab");
}

void TestInterfacesWine::everyRecordAsLinuxSeesIt()
{
    TNetInterfaceList List;
    List.SetUseDown(true);
    List.SetUseLoopBack(true);
    List.SetUsePPP(true);
    List.Refresh();
    QCOMPARE(List.Count(), FExpected.size());
    for (int i = 0; i < List.Count(); ++i) {
        const TExpected &E = FExpected[i];
        const TInterfaceParams *P = List.Objects(i);
        QCOMPARE(List.Strings(i), E.Address);
        QCOMPARE(P->Netmask, E.Netmask);
        QCOMPARE(P->IsUp, E.Up);
        QCOMPARE(P->IsLoopBack, E.LoopBack);
        QVERIFY(!P->IsPPP);
        // Loopback has no broadcast address; every other record here has the kernel's.
        QCOMPARE(P->IsBroadcast, !E.LoopBack);
        QCOMPARE(P->Broadcast, E.Broadcast);
    }
}

void TestInterfacesWine::defaultSwitchesKeepUpAndNotLoopback()
{
    QStringList Want;
    for (const TExpected &E : FExpected) {
        if (E.Up && !E.LoopBack)
            Want << E.Address;
    }
    QCOMPARE(Want.size(), 17); // the down pair and loopback are out
    TNetInterfaceList List;
    List.Refresh();
    QStringList Got;
    for (int i = 0; i < List.Count(); ++i)
        Got << List.Strings(i);
    QCOMPARE(Got, Want);
}

void TestInterfacesWine::secondRefreshAppendsAgain()
{
    TNetInterfaceList List;
    List.Refresh();
    const int Once = List.Count();
    List.Refresh();
    QCOMPARE(List.Count(), 2 * Once);
    for (int i = 0; i < Once; ++i)
        QCOMPARE(List.Strings(Once + i), List.Strings(i));
}

QTEST_GUILESS_MAIN(TestInterfacesWine)
#include "tst_interfaces_wine.moc"
