// TVersionInfo on real files: this test program (which carries the build's version
// resource), the real TXLoader when TXL_EXECUTABLE names it, PE files made by the resource
// compiler, patched copies of this program, and files without version information.

#include "ByteSource.h"
#include "ExeVersionBlock.h"
#include "VerInf.h"
#include "VersionTestTools.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using TPatch = std::function<void(QByteArray &block)>;
Q_DECLARE_METATYPE(TPatch)

namespace {

void Put16(QByteArray &b, qsizetype at, quint16 v)
{
    b[at] = char(v & 0xFF);
    b[at + 1] = char(v >> 8);
}

void Put32(QByteArray &b, qsizetype at, quint32 v)
{
    Put16(b, at, quint16(v & 0xFFFF));
    Put16(b, at + 2, quint16(v >> 16));
}

// Offset of the node keyed key inside a block.
qsizetype NodeOffset(const QByteArray &block, const QString &key)
{
    QByteArray pattern(reinterpret_cast<const char *>(key.utf16()), key.size() * 2);
    pattern.append(2, '\0');
    const qsizetype at = block.indexOf(pattern);
    return at < 0 ? at : at - 6;
}

} // namespace

class TestVerInf : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir FDir;
    QHash<QString, QString> FPe; // row name -> built image

    // The PE image for a row, built once.
    QString Pe(const QString &name, const QString &rc)
    {
        if (!FPe.contains(name)) {
            QString error;
            const QString path = BuildPe(FDir.path(), QStringLiteral("pe%1").arg(FPe.size()), rc, &error);
            if (path.isEmpty()) {
                qWarning().noquote() << error;
            }
            FPe.insert(name, path);
        }
        return FPe.value(name);
    }

    void AddPeRows();

private slots:
    void initTestCase() { QVERIFY(FDir.isValid()); }
    void ownExecutable_data();
    void ownExecutable();
    void files_data();
    void files();
    void pefileAgrees_data();
    void pefileAgrees();
    void oneSourceForBlockAndScript();
    void patchedExecutable_data();
    void patchedExecutable();
    void pathLengthLimit();
    void formatFileVersion_data();
    void formatFileVersion();
};

void TestVerInf::ownExecutable_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("this test program") << QCoreApplication::applicationFilePath();
    QTest::newRow("TXLoader (TXL_EXECUTABLE)") << qEnvironmentVariable("TXL_EXECUTABLE");
}

void TestVerInf::ownExecutable()
{
    QFETCH(QString, path);
    if (path.isEmpty()) {
        QSKIP("TXL_EXECUTABLE is not set");
    }
    const TVersionInfo info(path);
    QVERIFY(info.Valid());
    QCOMPARE(info.ProductName(), QStringLiteral("Tervix BootLoader"));
    QCOMPARE(info.FileVersion(), QStringLiteral("1.0.0.3"));
    QCOMPARE(info.LegalCopyright(), QStringLiteral("Tervix Systems"));
    QCOMPARE(info.Comments(), QStringLiteral("BootLoader for Tervix Devices"));
    QCOMPARE(info.Translation(), QStringLiteral("041904E3"));
    std::uint32_t ms = 0;
    std::uint32_t ls = 0;
    QVERIFY(info.GetFixedFileVersion(ms, ls));
    QCOMPARE(FormatFileVersion(ms, ls), QStringLiteral("1.0.0.3"));
    // Every entry of the table made it into the executable.
    const TStringPairs table = VersionTableStrings();
    QCOMPARE(table.size(), 10);
    for (const auto &[key, value] : table) {
        QCOMPARE(info.GetStringValue(key), value);
    }
}

void TestVerInf::AddPeRows()
{
    QTest::addColumn<QString>("rc");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("translation");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("fileVersion");
    QTest::addColumn<QString>("copyright");
    QTest::addColumn<QString>("comments");
    QTest::addColumn<QString>("special"); // a file of another kind instead of a PE image

    // Expected: translation, ProductName, FileVersion, LegalCopyright, Comments.
    const auto pe = [](const char *name, const QString &rc, bool valid, const QStringList &expected) {
        QTest::newRow(name) << rc << valid << expected[0] << expected[1] << expected[2] << expected[3]
                            << expected[4] << QString();
    };
    const QString ru = QStringLiteral("041904E3");
    const QString ruPair = VarFileInfoRc(QStringLiteral("0x0419, 0x04E3"));
    pe("0409/04B0, table key in lower case",
       VersionRc("1,2,3,4", StringFileInfoRc({{"040904b0",
                                               {{"ProductName", "Widget Tool"},
                                                {"FileVersion", "1.2.3.4 beta"},
                                                {"LegalCopyright", "Someone Ltd"},
                                                {"Comments", "Загрузчик для устройств"}}}}) +
                                VarFileInfoRc("0x0409, 0x04B0")),
       true, {"040904B0", "Widget Tool", "1.2.3.4 beta", "Someone Ltd", "Загрузчик для устройств"});
    pe("no FileVersion text",
       VersionRc("2,5,10,300", StringFileInfoRc({{ru, {{"ProductName", "P"}}}}) + ruPair), true,
       {ru, "P", "2.5.10.300", "", ""});
    pe("fixed numbers are unsigned",
       VersionRc("65535,0,0,1", StringFileInfoRc({{ru, {{"Comments", "c"}}}}) + ruPair), true,
       {ru, "", "65535.0.0.1", "", "c"});
    pe("empty FileVersion text",
       VersionRc("7,8,9,10", StringFileInfoRc({{ru, {{"FileVersion", ""}, {"ProductName", "P"}}}}) + ruPair),
       true, {ru, "P", "7.8.9.10", "", ""});
    pe("no translation table",
       VersionRc("3,1,4,1", StringFileInfoRc({{ru, {{"ProductName", "P"}, {"FileVersion", "9.9"}}}})), true,
       {"", "", "3.1.4.1", "", ""});
    pe("keys ignore case",
       VersionRc("1,0,0,0",
                 StringFileInfoRc(
                     {{"041904e3",
                       {{"PRODUCTNAME", "Upper"}, {"fileversion", "1.1"}, {"legalCOPYRIGHT", "Mixed"}}}}) +
                     ruPair),
       true, {ru, "Upper", "1.1", "Mixed", ""});
    pe("table of the first translation",
       VersionRc("1,0,0,0", StringFileInfoRc({{"040904B0", {{"ProductName", "English"}}},
                                              {ru, {{"ProductName", "Russian"}}}}) +
                                VarFileInfoRc("0x0419, 0x04E3, 0x0409, 0x04B0")),
       true, {ru, "Russian", "1.0.0.0", "", ""});
    pe("no version resource", QStringLiteral("1 RCDATA\nBEGIN\n\"data\"\nEND\n"), false,
       {"", "", "", "", ""});
    pe("generated TXLoader.rc", QString::fromUtf8(ReadWholeFile(QStringLiteral(TXL_VERSION_RC))), true,
       {ru, "Tervix BootLoader", "1.0.0.3", "Tervix Systems", "BootLoader for Tervix Devices"});
}

void TestVerInf::files_data()
{
    AddPeRows();
    const auto none = [](const char *name, const char *special) {
        QTest::newRow(name) << QString() << false << ""
                            << ""
                            << ""
                            << ""
                            << "" << QString::fromLatin1(special);
    };
    none("empty file name", "empty");
    none("missing file", "missing");
    none("directory", "directory");
    none("text file", "text");
    none("ELF without the version section", "stripped");
}

void TestVerInf::files()
{
    QFETCH(QString, rc);
    QFETCH(bool, valid);
    QFETCH(QString, translation);
    QFETCH(QString, product);
    QFETCH(QString, fileVersion);
    QFETCH(QString, copyright);
    QFETCH(QString, comments);
    QFETCH(QString, special);

    QString path;
    QString error;
    if (special.isEmpty()) {
        if (const QString missing = MissingPeTools(); !missing.isEmpty()) {
            QSKIP(qPrintable(missing));
        }
        path = Pe(QTest::currentDataTag(), rc);
        QVERIFY(!path.isEmpty());
    } else if (special == "missing") {
        path = FDir.filePath("does-not-exist.exe");
    } else if (special == "directory") {
        path = FDir.path();
    } else if (special == "text") {
        path = FDir.filePath("plain.txt");
        QVERIFY(WriteWholeFile(path, "MZ but not a program\n"));
    } else if (special == "stripped") {
        path = FDir.filePath("stripped");
        QVERIFY2(RunTool(QStringLiteral(TXL_OBJCOPY),
                         {"--remove-section", QString::fromLatin1(VersionSectionName),
                          QCoreApplication::applicationFilePath(), path},
                         &error),
                 qPrintable(error));
    }

    const TVersionInfo info(path);
    QCOMPARE(info.Valid(), valid);
    QCOMPARE(info.Translation(), translation);
    QCOMPARE(info.ProductName(), product);
    QCOMPARE(info.FileVersion(), fileVersion);
    QCOMPARE(info.LegalCopyright(), copyright);
    QCOMPARE(info.Comments(), comments);
}

void TestVerInf::pefileAgrees_data()
{
    AddPeRows();
}

// pefile, an independent PE parser, reads the same translation, fixed version and strings.
void TestVerInf::pefileAgrees()
{
    QFETCH(QString, rc);
    if (const QString missing = MissingPeTools(); !missing.isEmpty()) {
        QSKIP(qPrintable(missing));
    }
    const QString path = Pe(QTest::currentDataTag(), rc);
    QVERIFY(!path.isEmpty());

    QProcess python;
    python.start(QStringLiteral(TXL_PYTHON3), {QStringLiteral(TXL_PEFILE_SCRIPT), path});
    QVERIFY(python.waitForFinished(60000));
    if (python.exitCode() == 77) {
        QSKIP("python3-pefile is not installed");
    }
    QCOMPARE(python.exitCode(), 0);
    const QJsonObject pefile = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
    QVERIFY(pefile.contains("valid"));

    const TVersionInfo info(path);
    QCOMPARE(info.Valid(), pefile["valid"].toBool());
    std::uint32_t ms = 0;
    std::uint32_t ls = 0;
    QCOMPARE(info.GetFixedFileVersion(ms, ls), pefile.contains("fixed"));
    if (pefile.contains("fixed")) {
        QCOMPARE(double(ms), pefile["fixed"][0].toDouble());
        QCOMPARE(double(ls), pefile["fixed"][1].toDouble());
    }
    if (pefile["pairs"].toInt() > 1) {
        return; // pefile cannot tell which pair comes first
    }
    QCOMPARE(info.Translation(), pefile["translation"].toString());
    // Keys match ignoring case, as the system's query does; pefile keeps them as stored.
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
    if (const QString missing = MissingPeTools(); !missing.isEmpty()) {
        QSKIP(qPrintable(missing));
    }
    const QByteArray self = ReadWholeFile(QCoreApplication::applicationFilePath());
    const auto embedded = ExtractVersionBlock(TMemorySource(ToBytes(self)));
    QVERIFY(embedded);
    QCOMPARE(*embedded, ToBytes(ReadWholeFile(QStringLiteral(TXL_VERSION_BLOCK))));

    QString error;
    const QString pe =
        BuildPe(FDir.path(), "generated", ReadWholeFile(QStringLiteral(TXL_VERSION_RC)), &error);
    QVERIFY2(!pe.isEmpty(), qPrintable(error));
    const auto compiled = ExtractVersionBlock(TMemorySource(ToBytes(ReadWholeFile(pe))));
    QVERIFY(compiled);
    QCOMPARE(*compiled, *embedded);
}

void TestVerInf::patchedExecutable_data()
{
    QTest::addColumn<TPatch>("patch");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("fileVersion");
    QTest::addColumn<QString>("comments");

    QTest::newRow("unchanged") << TPatch([](QByteArray &) {}) << true << "Tervix BootLoader"
                               << "1.0.0.3"
                               << "BootLoader for Tervix Devices";
    QTest::newRow("root length 0") << TPatch([](QByteArray &b) { Put16(b, 0, 0); }) << false << ""
                                   << ""
                                   << "";
    QTest::newRow("huge value length of one string")
        << TPatch([](QByteArray &b) { Put16(b, NodeOffset(b, "ProductName") + 2, 0xFFFF); }) << true << ""
        << "1.0.0.3"
        << "BootLoader for Tervix Devices";
    QTest::newRow("translation key renamed")
        << TPatch([](QByteArray &b) { b[NodeOffset(b, "Translation") + 6] = 'X'; }) << true << ""
        << "1.0.0.3"
        << "";
    QTest::newRow("FileVersion text emptied, fixed version changed") << TPatch([](QByteArray &b) {
        const qsizetype node = NodeOffset(b, "FileVersion");
        Put16(b, node + 32, 0);       // value follows the 6-byte header and 24-byte key
        Put32(b, 40 + 8, 0x00020005); // dwFileVersionMS in the fixed record
        Put32(b, 40 + 12, 0x000A012C);
    }) << true << "Tervix BootLoader"
                                                                     << "2.5.10.300"
                                                                     << "BootLoader for Tervix Devices";
}

// Damage done to the block inside a copy of this program reaches TVersionInfo as
// "not valid" or as empty texts.
void TestVerInf::patchedExecutable()
{
    QFETCH(TPatch, patch);
    QFETCH(bool, valid);
    QFETCH(QString, product);
    QFETCH(QString, fileVersion);
    QFETCH(QString, comments);

    QByteArray file = ReadWholeFile(QCoreApplication::applicationFilePath());
    const auto block = ExtractVersionBlock(TMemorySource(ToBytes(file)));
    QVERIFY(block);
    const QByteArray original(reinterpret_cast<const char *>(block->data()), qsizetype(block->size()));
    const qsizetype at = file.indexOf(original);
    QVERIFY(at > 0);
    QByteArray patched = original;
    patch(patched);
    file.replace(at, patched.size(), patched);
    const QString path = FDir.filePath("patched");
    QVERIFY(WriteWholeFile(path, file));

    const TVersionInfo info(path);
    QCOMPARE(info.Valid(), valid);
    QCOMPARE(info.ProductName(), product);
    QCOMPARE(info.FileVersion(), fileVersion);
    QCOMPARE(info.Comments(), comments);
}

// String paths hold at most 255 characters; "\StringFileInfo\041904E3\" takes 25 of them.
void TestVerInf::pathLengthLimit()
{
    if (const QString missing = MissingPeTools(); !missing.isEmpty()) {
        QSKIP(qPrintable(missing));
    }
    const QString fits = QString(230, QLatin1Char('K'));
    const QString tooLong = QString(231, QLatin1Char('L'));
    const QString path =
        Pe("long keys",
           VersionRc("1,0,0,0", StringFileInfoRc({{"041904E3", {{fits, "fits"}, {tooLong, "too long"}}}}) +
                                    VarFileInfoRc("0x0419, 0x04E3")));
    QVERIFY(!path.isEmpty());
    const TVersionInfo info(path);
    QCOMPARE(info.GetStringValue(fits), QStringLiteral("fits"));
    QCOMPARE(info.GetStringValue(tooLong), QString());
    // The value is there; only the path limit hides it.
    const auto block = ExtractVersionBlock(TMemorySource(ToBytes(ReadWholeFile(path))));
    QVERIFY(block);
    QCOMPARE(QueryVersionText(*block, ("\\StringFileInfo\\041904E3\\" + tooLong).toStdString()),
             std::optional<std::string>("too long"));
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
