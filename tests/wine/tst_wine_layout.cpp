// What wine-run.sh must give every test program: an address space where Wine's fixed pages
// are free. Debian's Wine has no preloader to reserve them, so the loader's heap has to start
// where the loader ends; placed at random in the GB above, it now and then covers the shared
// user data page (0x7ffe0000) and the process dies before main (c0000018).

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace {

// Files are opened by the wineserver, so Z:/proc/self is the server: this process is found by
// its command line, whose first word Wine sets to the program's path.
QByteArray OwnMaps()
{
    const QByteArray Name = QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8();
    for (const QString &Pid : QDir(QStringLiteral("Z:/proc")).entryList(QDir::Dirs)) {
        QFile CommandLine(QStringLiteral("Z:/proc/%1/cmdline").arg(Pid));
        if (Pid.toInt() <= 0 || !CommandLine.open(QIODevice::ReadOnly))
            continue;
        if (!CommandLine.readAll().split('\0').first().endsWith(Name))
            continue;
        QFile Maps(QStringLiteral("Z:/proc/%1/maps").arg(Pid));
        if (Maps.open(QIODevice::ReadOnly))
            return Maps.readAll();
    }
    return {};
}

} // namespace

class TestWineLayout : public QObject
{
    Q_OBJECT
private slots:
    void heapStartsWhereTheLoaderEnds()
    {
        quint64 LoaderEnd = 0, HeapStart = 0;
        for (const QByteArray &Line : OwnMaps().split('\n')) {
            const QList<QByteArray> Fields = Line.simplified().split(' ');
            const QList<QByteArray> Range = Fields.first().split('-');
            if (Fields.size() < 6 || Range.size() != 2)
                continue;
            if (Fields.last().endsWith("/wine64"))
                LoaderEnd = qMax(LoaderEnd, Range[1].toULongLong(nullptr, 16));
            else if (Fields.last() == "[heap]")
                HeapStart = Range[0].toULongLong(nullptr, 16);
        }
        QVERIFY2(LoaderEnd != 0 && HeapStart != 0, "no wine64 loader or no heap in this process's maps");
        // The heap may begin after the loader's bss; with randomization it lies up to 1 GiB away.
        QVERIFY2(HeapStart >= LoaderEnd && HeapStart - LoaderEnd < 0x100000,
                 qPrintable(QStringLiteral("the heap starts at 0x%1, the loader ends at 0x%2")
                                .arg(HeapStart, 0, 16)
                                .arg(LoaderEnd, 0, 16)));
    }
};

QTEST_GUILESS_MAIN(TestWineLayout)
#include "tst_wine_layout.moc"
