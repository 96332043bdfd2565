// TVersionInfo on real files: this test program (which carries the build's version resource),
// TXLoader when TXL_EXECUTABLE names it, PE files made by the resource compiler and checked
// against pefile, and files without version information.

#include "ByteSource.h"
#include "ExeVersionBlock.h"
#include "VerInf.h"
#include "VersionTestTools.h"

#include <QCoreApplication>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#define SKIP_WITHOUT_PE_TOOLS()                                                                              \
    if (const QString missing = MissingPeTools(); !missing.isEmpty())                                        \
    QSKIP(qPrintable(missing))

class TestVerInf : public QObject
{
    Q_OBJECT

    QTemporaryDir FDir;
    QHash<QString, QString> FPe; // row -> image, built once per run

    QString Pe(const QString &row, const QString &rc)
    {
        if (!FPe.contains(row)) {
            QString error;
            FPe.insert(row, BuildPe(FDir.path(), QStringLiteral("pe%1").arg(FPe.size()), rc, &error));
            if (FPe[row].isEmpty()) {
                qWarning().noquote() << error;
            }
        }
        return FPe[row];
    }
    void AddRows(bool withOtherFiles);

private slots:
    void files_data() { AddRows(true); }
    void files();
    void pefileAgrees_data() { AddRows(false); }
    void pefileAgrees();
    void oneSourceForBlockAndScript();
    void pathLengthLimit();
    void formatFileVersion_data();
    void formatFileVersion();
};

void TestVerInf::AddRows(bool withOtherFiles)
{
    QTest::addColumn<QString>("rc"); // empty: one of the other files below
    QTest::addColumn<QStringList>(
        "want"); // Valid, Translation, ProductName, FileVersion, LegalCopyright, Comments
    QTest::addColumn<bool>("wholeTable"); // every string of the build's version table is there too
    const auto row = [](const char *name, const QString &rc, const QStringList &want,
                        bool wholeTable = false) { QTest::newRow(name) << rc << want << wholeTable; };
    const QString ru = "041904E3";
    // The build's own version resource.
    const QStringList own = {
        "1", ru, "Tervix BootLoader", "1.0.0.3", "Tervix Systems", "BootLoader for Tervix Devices"};
    const QString ruPair = VarFileInfoRc("0x0419, 0x04E3");
    const QString comments = "Загрузчик для устройств";
    row("0409/04B0, table key in lower case",
        VersionRc("1,2,3,4", StringFileInfoRc({{"040904b0",
                                                {{"ProductName", "Tool"},
                                                 {"FileVersion", "1.2.3.4 beta"},
                                                 {"LegalCopyright", "Someone"},
                                                 {"Comments", comments}}}}) +
                                 VarFileInfoRc("0x0409, 0x04B0")),
        {"1", "040904B0", "Tool", "1.2.3.4 beta", "Someone", comments});
    row("no FileVersion text",
        VersionRc("2,5,10,300", StringFileInfoRc({{ru, {{"ProductName", "P"}}}}) + ruPair),
        {"1", ru, "P", "2.5.10.300", "", ""});
    row("fixed numbers are unsigned",
        VersionRc("65535,0,0,1", StringFileInfoRc({{ru, {{"Comments", "c"}}}}) + ruPair),
        {"1", ru, "", "65535.0.0.1", "", "c"});
    row("empty FileVersion text",
        VersionRc("7,8,9,10", StringFileInfoRc({{ru, {{"FileVersion", ""}}}}) + ruPair),
        {"1", ru, "", "7.8.9.10", "", ""});
    row("no translation table", VersionRc("3,1,4,1", StringFileInfoRc({{ru, {{"ProductName", "P"}}}})),
        {"1", "", "", "3.1.4.1", "", ""});
    row("keys ignore case",
        VersionRc("1,0,0,0",
                  StringFileInfoRc({{"041904e3", {{"PRODUCTNAME", "Up"}, {"fileversion", "1.1"}}}}) + ruPair),
        {"1", ru, "Up", "1.1", "", ""});
    row("table of the first translation",
        VersionRc("1,0,0,0",
                  StringFileInfoRc({{"040904B0", {{"ProductName", "En"}}}, {ru, {{"ProductName", "Ru"}}}}) +
                      VarFileInfoRc("0x0419, 0x04E3, 0x0409, 0x04B0")),
        {"1", ru, "Ru", "1.0.0.0", "", ""});
    row("no version resource", "1 RCDATA\nBEGIN\n\"data\"\nEND\n", {"0", "", "", "", "", ""});
    row("generated TXLoader.rc", ReadWholeFile(TXL_VERSION_RC), own, true);
    if (withOtherFiles) {
        row("this test program", QString(), own, true);
        row("TXLoader (TXL_EXECUTABLE)", QString(), own, true);
        for (const char *name :
             {"empty file name", "missing file", "directory", "text file", "ELF without section"}) {
            row(name, QString(), {"0", "", "", "", "", ""});
        }
    }
}

void TestVerInf::files()
{
    QFETCH(QString, rc);
    QFETCH(QStringList, want);
    QFETCH(bool, wholeTable);
    const QString tag = QTest::currentDataTag();
    QString path;
    QString error;
    if (!rc.isEmpty()) {
        SKIP_WITHOUT_PE_TOOLS();
        QVERIFY(!(path = Pe(tag, rc)).isEmpty());
    } else if (tag == "this test program") {
        path = QCoreApplication::applicationFilePath();
    } else if (tag == "TXLoader (TXL_EXECUTABLE)") {
        if ((path = qEnvironmentVariable("TXL_EXECUTABLE")).isEmpty()) {
            QSKIP("TXL_EXECUTABLE is not set");
        }
    } else if (tag == "missing file") {
        path = FDir.filePath("does-not-exist.exe");
    } else if (tag == "directory") {
        path = FDir.path();
    } else if (tag == "text file") {
        QVERIFY(WriteWholeFile(path = FDir.filePath("plain.txt"), "MZ but not a program\n"));
    } else if (tag == "ELF without section") {
        if (const QString notElf = QStringLiteral(TXL_NOT_ELF); !notElf.isEmpty()) {
            QSKIP(qPrintable(notElf));
        }
        path = FDir.filePath("stripped");
        QVERIFY2(RunTool(TXL_OBJCOPY,
                         {"--remove-section", ".txl_version", QCoreApplication::applicationFilePath(), path},
                         &error),
                 qPrintable(error));
    }
    const TVersionInfo info(path);
    const QStringList got = {info.Valid() ? "1" : "0", info.Translation(),    info.ProductName(),
                             info.FileVersion(),       info.LegalCopyright(), info.Comments()};
    QCOMPARE(got, want);
    if (wholeTable) {
        const TStringPairs table = VersionTableStrings();
        QCOMPARE(table.size(), 10);
        for (const auto &[key, value] : table) {
            QCOMPARE(info.GetStringValue(key), value);
        }
    }
}

// pefile, an independent PE parser, reads the same translation, fixed version and strings.
void TestVerInf::pefileAgrees()
{
    QFETCH(QString, rc);
    SKIP_WITHOUT_PE_TOOLS();
    const QString path = Pe(QTest::currentDataTag(), rc);
    QVERIFY(!path.isEmpty());
    QProcess python;
    python.start(TXL_PYTHON3, {TXL_PEFILE_SCRIPT, path});
    QVERIFY(python.waitForFinished(60000));
    if (python.exitCode() == 77) {
        QSKIP("python3-pefile is not installed");
    }
    QCOMPARE(python.exitCode(), 0);
    const QJsonObject pefile = QJsonDocument::fromJson(python.readAllStandardOutput()).object();

    const TVersionInfo info(path);
    QCOMPARE(info.Valid(), pefile["valid"].toBool());
    std::uint32_t ms = 0;
    std::uint32_t ls = 0;
    QCOMPARE(info.GetFixedFileVersion(ms, ls), pefile.contains("fixed"));
    QCOMPARE(QJsonArray({double(ms), double(ls)}), pefile.value("fixed").toArray({0, 0}));
    if (pefile["pairs"].toInt() > 1) {
        return; // pefile cannot tell which pair comes first
    }
    QCOMPARE(info.Translation(), pefile["translation"].toString());
    // Keys match ignoring case, as in the system's query; pefile keeps them as stored.
    const QJsonObject strings = pefile["strings"].toObject();
    QHash<QString, QString> folded;
    for (auto it = strings.begin(); it != strings.end(); ++it) {
        QCOMPARE(info.GetStringValue(it.key()), it.value().toString());
        folded.insert(it.key().toLower(), it.value().toString());
    }
    for (const QString key : {"ProductName", "FileVersion", "LegalCopyright", "Comments"}) {
        QCOMPARE(info.GetStringValue(key), folded.value(key.toLower()));
    }
}

// The block in this program's ELF section, the generated block file and what the resource
// compiler makes of the generated TXLoader.rc are the same bytes.
void TestVerInf::oneSourceForBlockAndScript()
{
    SKIP_WITHOUT_PE_TOOLS();
    const auto embedded =
        ExtractVersionBlock(TMemorySource(ToBytes(ReadWholeFile(QCoreApplication::applicationFilePath()))));
    QVERIFY(embedded);
    QCOMPARE(*embedded, ToBytes(ReadWholeFile(TXL_VERSION_BLOCK)));
    const QString pe = Pe("generated TXLoader.rc", ReadWholeFile(TXL_VERSION_RC));
    QVERIFY(!pe.isEmpty());
    QCOMPARE(ExtractVersionBlock(TMemorySource(ToBytes(ReadWholeFile(pe)))), embedded);
}

// String paths hold at most 255 characters; "\StringFileInfo\041904E3\" takes 25 of them.
void TestVerInf::pathLengthLimit()
{
    SKIP_WITHOUT_PE_TOOLS();
    const QString fits(230, 'K');
    const QString tooLong(231, 'L');
    const QString path =
        Pe("long keys", VersionRc("1,0,0,0", StringFileInfoRc({{"041904E3", {{fits, "a"}, {tooLong, "b"}}}}) +
                                                 VarFileInfoRc("0x0419, 0x04E3")));
    QVERIFY(!path.isEmpty());
    const TVersionInfo info(path);
    QCOMPARE(info.GetStringValue(fits), "a");
    QCOMPARE(info.GetStringValue(tooLong), "");
    // The value is there; only the limit hides it.
    const auto block = ExtractVersionBlock(TMemorySource(ToBytes(ReadWholeFile(path))));
    QCOMPARE(QueryVersionText(*block, ("\\StringFileInfo\\041904E3\\" + tooLong).toStdString()), "b");
}

void TestVerInf::formatFileVersion_data()
{
    QTest::addColumn<quint32>("ms");
    QTest::addColumn<quint32>("ls");
    QTest::addColumn<QString>("text");
    QTest::newRow("1.0.0.3") << 0x00010000u << 0x00000003u << "1.0.0.3";
    QTest::newRow("all zero") << 0u << 0u << "0.0.0.0";
    QTest::newRow("top bit of ms") << 0xFFFF0000u << 0x00000001u << "65535.0.0.1";
    QTest::newRow("top bit of each half") << 0x80008000u << 0x80018002u << "32768.32768.32769.32770";
    QTest::newRow("all ones") << 0xFFFFFFFFu << 0xFFFFFFFFu << "65535.65535.65535.65535";
    QTest::newRow("halves in order") << 0x00020005u << 0x000A012Cu << "2.5.10.300";
}

void TestVerInf::formatFileVersion()
{
    QFETCH(quint32, ms);
    QFETCH(quint32, ls);
    QFETCH(QString, text);
    QCOMPARE(FormatFileVersion(ms, ls), text);
}

QTEST_GUILESS_MAIN(TestVerInf)
#include "tst_verinf.moc"
