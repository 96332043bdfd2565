// Windows only: the system's own version calls against the project's block walker, on the
// same file (TXLoader.exe, named by TXL_EXECUTABLE), and file names outside any ANSI code page.

#include "ExeVersionBlock.h"
#include "VerInf.h"
#include "VersionBlock.h"
#include "VersionTestTools.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

#include <vector>

namespace {

// The block as the system hands it over, or empty.
std::vector<std::uint8_t> SystemBlock(const QString &path)
{
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(name.c_str(), &handle);
    std::vector<std::uint8_t> block(size);
    if (size == 0 || !GetFileVersionInfoW(name.c_str(), handle, size, block.data()))
        block.clear();
    return block;
}

// What VerQueryValueW finds at path in the system's block, as bytes; nullopt when not found.
// The length it reports counts bytes for binary values and characters for texts.
std::optional<QByteArray> SystemValue(std::vector<std::uint8_t> &block, const QString &path,
                                      bool text = false)
{
    void *value = nullptr;
    UINT length = 0;
    const std::wstring wpath = path.toStdWString();
    if (!VerQueryValueW(block.data(), wpath.c_str(), &value, &length) || value == nullptr)
        return std::nullopt;
    return QByteArray(static_cast<const char *>(value), int(text ? length * sizeof(wchar_t) : length));
}

} // namespace

class TestVersionApi : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void sameBlockBothWays();
    void fixedInfoAgrees();
    void translationAgrees();
    void stringsAgree();
    void nameOutsideAnsiCodePage();

private:
    QString FExe;
    std::vector<std::uint8_t> FSystem;
    std::vector<std::uint8_t> FWalker;
};

void TestVersionApi::initTestCase()
{
    FExe = qEnvironmentVariable("TXL_EXECUTABLE");
    QVERIFY2(!FExe.isEmpty(), "TXL_EXECUTABLE must name TXLoader.exe");
    FSystem = SystemBlock(FExe);
    QVERIFY2(!FSystem.empty(), "GetFileVersionInfoW found no version block");
    const auto walker = ExtractVersionBlock(TMemorySource(ToBytes(ReadWholeFile(FExe))));
    QVERIFY2(walker.has_value(), "the PE reader found no version block");
    FWalker = *walker;
}

void TestVersionApi::sameBlockBothWays()
{
    // The system may add room of its own behind the block; the block itself is the same.
    const auto length = VersionBlockLength(FSystem);
    QVERIFY(length.has_value());
    QCOMPARE(*length, FWalker.size());
    QVERIFY(std::equal(FWalker.begin(), FWalker.end(), FSystem.begin()));
}

void TestVersionApi::fixedInfoAgrees()
{
    const auto system = SystemValue(FSystem, "\\");
    QVERIFY(system.has_value());
    QCOMPARE(system->size(), qsizetype(sizeof(VS_FIXEDFILEINFO)));
    VS_FIXEDFILEINFO fixed;
    memcpy(&fixed, system->constData(), sizeof fixed);
    const auto walker = ParseFixedFileInfo(QueryVersionValue(FWalker, "\\").value_or(TVersionValue{}));
    QVERIFY(walker.has_value());
    QCOMPARE((std::vector<DWORD>{fixed.dwSignature, fixed.dwFileVersionMS, fixed.dwFileVersionLS,
                                 fixed.dwProductVersionMS, fixed.dwProductVersionLS, fixed.dwFileFlagsMask,
                                 fixed.dwFileOS, fixed.dwFileType}),
             (std::vector<DWORD>{walker->Signature, walker->FileVersionMS, walker->FileVersionLS,
                                 walker->ProductVersionMS, walker->ProductVersionLS, walker->FileFlagsMask,
                                 walker->FileOS, walker->FileType}));
    QCOMPARE(FormatFileVersion(fixed.dwFileVersionMS, fixed.dwFileVersionLS), "1.0.0.3");
}

void TestVersionApi::translationAgrees()
{
    const auto system = SystemValue(FSystem, "\\VarFileInfo\\Translation");
    QVERIFY(system.has_value());
    const auto walker = QueryVersionValue(FWalker, "\\VarFileInfo\\Translation");
    QVERIFY(walker.has_value());
    QCOMPARE(*system,
             QByteArray(reinterpret_cast<const char *>(walker->Data.data()), int(walker->Data.size())));
    QCOMPARE(TVersionInfo(FExe).Translation(), "041904E3");
}

void TestVersionApi::stringsAgree()
{
    const TStringPairs table = VersionTableStrings();
    QVERIFY(!table.isEmpty());
    for (const auto &[key, expected] : table) {
        const QString path = "\\StringFileInfo\\041904E3\\" + key;
        const auto system = SystemValue(FSystem, path, true);
        QVERIFY2(system.has_value(), qPrintable(path));
        // UTF-16 up to its terminator, never past what the system said is there.
        const auto *chars = reinterpret_cast<const wchar_t *>(system->constData());
        const QString systemText =
            QString::fromWCharArray(chars, qsizetype(wcsnlen(chars, system->size() / sizeof(wchar_t))));
        const auto walker = QueryVersionText(FWalker, path.toStdString());
        QVERIFY2(walker.has_value(), qPrintable(path));
        QCOMPARE(systemText, QString::fromStdString(*walker));
        QCOMPARE(systemText, expected);
    }
    // A key that is not there is missing for both.
    QVERIFY(!SystemValue(FSystem, "\\StringFileInfo\\041904E3\\NoSuchKey", true));
    QVERIFY(!QueryVersionText(FWalker, "\\StringFileInfo\\041904E3\\NoSuchKey"));
}

void TestVersionApi::nameOutsideAnsiCodePage()
{
    // Cyrillic and CJK in one name: no single ANSI code page holds both, the wide calls do.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString copy = dir.filePath(QStringLiteral(u"Загрузчик-装载.exe"));
    QVERIFY(QFile::copy(FExe, copy));
    const TVersionInfo info(copy);
    QVERIFY(info.Valid());
    QCOMPARE(info.ProductName(), "Tervix BootLoader");
    QCOMPARE(info.FileVersion(), "1.0.0.3");
    QCOMPARE(info.Comments(), "BootLoader for Tervix Devices");
}

QTEST_GUILESS_MAIN(TestVersionApi)
#include "tst_version_api_win.moc"
