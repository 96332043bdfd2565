// TVersionInfo on real files: this test program (which carries the build's version resource),
// TXLoader when TXL_EXECUTABLE names it, PE files made by the resource compiler and checked
// against pefile (tests/version/test_files.py), and files without version information.

#include "ByteSource.h"
#include "ExeVersionBlock.h"
#include "Limits.h"
#include "VerInf.h"
#include "VersionTestTools.h"

#include <QCoreApplication>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

class TestVerInf : public QObject
{
    Q_OBJECT

    // Made in initTestCase: a listing (-functions, -datatags) ends the program without destroying it.
    std::optional<QTemporaryDir> FDir;
    void AddRows(bool withOtherFiles);

private slots:
    void initTestCase() { QVERIFY(FDir.emplace().isValid()); }
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
    QTest::addColumn<QString>("file"); // made by test_files.py; empty: one of the other files below
    QTest::addColumn<QStringList>(
        "want"); // Valid, Translation, ProductName, FileVersion, LegalCopyright, Comments
    QTest::addColumn<bool>("wholeTable"); // every string of the build's version table is there too
    const auto row = [](const char *name, const QString &file, const QStringList &want,
                        bool wholeTable = false) { QTest::newRow(name) << file << want << wholeTable; };
    const QString ru = "041904E3";
    // The build's own version resource.
    const QStringList own = {
        "1", ru, "Tervix BootLoader", "1.0.0.3", "Tervix Systems", "BootLoader for Tervix Devices"};
    row("0409/04B0, table key in lower case", "lower-key.exe",
        {"1", "040904B0", "Tool", "1.2.3.4 beta", "Someone", "Загрузчик для устройств"});
    row("no FileVersion text", "no-fileversion-text.exe", {"1", ru, "P", "2.5.10.300", "", ""});
    row("fixed numbers are unsigned", "unsigned.exe", {"1", ru, "", "65535.0.0.1", "", "c"});
    row("empty FileVersion text", "empty-fileversion.exe", {"1", ru, "", "7.8.9.10", "", ""});
    row("no translation table", "no-translation.exe", {"1", "", "", "3.1.4.1", "", ""});
    row("keys ignore case", "keys-case.exe", {"1", ru, "Up", "1.1", "", ""});
    row("table of the first translation", "first-translation.exe", {"1", ru, "Ru", "1.0.0.0", "", ""});
    row("no version resource", "no-version.exe", {"0", "", "", "", "", ""});
    row("generated TXLoader.rc", "generated.exe", own, true);
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
    QFETCH(QString, file);
    QFETCH(QStringList, want);
    QFETCH(bool, wholeTable);
    const QString tag = QTest::currentDataTag();
    QString path;
    if (!file.isEmpty()) {
        SKIP_UNLESS_MADE(file);
        path = TestFile(file);
    } else if (tag == "this test program") {
        path = QCoreApplication::applicationFilePath();
    } else if (tag == "TXLoader (TXL_EXECUTABLE)") {
        if ((path = qEnvironmentVariable("TXL_EXECUTABLE")).isEmpty()) {
            QSKIP("TXL_EXECUTABLE is not set");
        }
    } else if (tag == "missing file") {
        path = FDir->filePath("does-not-exist.exe");
    } else if (tag == "directory") {
        path = FDir->path();
    } else if (tag == "text file") {
        QVERIFY(WriteWholeFile(path = FDir->filePath("plain.txt"), "MZ but not a program\n"));
    } else if (tag == "ELF without section") {
        TXL_SKIP_IF(PeProgram, "this test program is a PE file");
        QVERIFY(QFile::exists(path = QCoreApplication::applicationFilePath() + ".noversion")); // made with it
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
    QFETCH(QString, file);
    const QString reading = file.chopped(4) + ".json"; // what pefile read of it
    SKIP_UNLESS_MADE(reading);
    const QString path = TestFile(file);
    const QJsonObject pefile = QJsonDocument::fromJson(ReadWholeFile(TestFile(reading))).object();
    QVERIFY(!pefile.isEmpty());

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
    SKIP_UNLESS_MADE("generated.exe");
    const auto embedded =
        ExtractVersionBlock(TMemorySource(ToBytes(ReadWholeFile(QCoreApplication::applicationFilePath()))));
    QVERIFY(embedded);
    QCOMPARE(*embedded, ToBytes(ReadWholeFile(TXL_VERSION_BLOCK)));
    QCOMPARE(ExtractVersionBlock(TMemorySource(ToBytes(ReadWholeFile(TestFile("generated.exe"))))), embedded);
}

// String paths hold at most 255 characters; "\StringFileInfo\041904E3\" takes 25 of them.
void TestVerInf::pathLengthLimit()
{
    SKIP_UNLESS_MADE("long-keys.exe");
    const QString fits(230, 'K');
    const QString tooLong(231, 'L');
    const QString path = TestFile("long-keys.exe");
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
