// The block walker and the executable readers on bytes: the layout of the block the build
// embeds, one table of damaged blocks, damaged ELF and PE headers, and ELF variants.

#include "ByteOrder.h"
#include "ByteSource.h"
#include "ExeVersionBlock.h"
#include "VersionBlock.h"
#include "VersionTestTools.h"

#include <QCoreApplication>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using TBytes = std::vector<std::uint8_t>;
using TMutation = std::function<void(TBytes &)>;
Q_DECLARE_METATYPE(TMutation)

namespace {

void Put(TBytes &b, std::size_t at, std::uint64_t v, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i) {
        b.at(at + i) = std::uint8_t(v >> (8 * i));
    }
}

// Offset of the node keyed key (its header precedes the key).
std::size_t NodeAt(const TBytes &block, std::u16string_view key)
{
    TBytes pattern;
    for (const char16_t c : key) {
        pattern.push_back(std::uint8_t(c));
        pattern.push_back(std::uint8_t(c >> 8));
    }
    pattern.insert(pattern.end(), {0, 0});
    const auto it = std::search(block.begin(), block.end(), pattern.begin(), pattern.end());
    return it == block.end() ? block.size() : std::size_t(it - block.begin()) - 6;
}

std::size_t LengthAt(const TBytes &b, std::size_t at)
{
    return Load16(b, at);
}

TBytes SelfBytes()
{
    return ToBytes(ReadWholeFile(QCoreApplication::applicationFilePath()));
}

TBytes EmbeddedBlock()
{
    return ExtractVersionBlock(TMemorySource(SelfBytes())).value_or(TBytes{});
}

// Ends the block at offset the way a short file would: every node that spans the cut is
// shortened to end there; the node cut into keeps its length and so overruns its parent.
void CutAt(TBytes &b, std::size_t offset)
{
    for (const std::u16string_view key :
         {u"VS_VERSION_INFO", u"StringFileInfo", u"041904E3", u"VarFileInfo"}) {
        const std::size_t at = NodeAt(b, key);
        if (at < offset && offset < at + LengthAt(b, at)) {
            Put(b, at, offset - at, 2);
        }
    }
    b.resize(offset);
}

const QStringList Probes = {"fixed", "translation", "CompanyName", "FileVersion", "ProductName", "Comments"};

// The probes the block answers, with their answers.
QMap<QString, QByteArray> Answers(const TBytes &block)
{
    QMap<QString, QByteArray> answers;
    if (const auto v = QueryVersionValue(block, "\\"); v && ParseFixedFileInfo(*v)) {
        answers["fixed"] = QByteArray(reinterpret_cast<const char *>(v->Data.data()), 52);
    }
    if (const auto v = QueryVersionValue(block, "\\VarFileInfo\\Translation"); v && v->Data.size() >= 4) {
        answers["translation"] = QByteArray(reinterpret_cast<const char *>(v->Data.data()), 4);
    }
    for (const QString &key : Probes.mid(2)) {
        if (const auto text = QueryVersionText(block, "\\StringFileInfo\\041904E3\\" + key.toStdString())) {
            answers[key] = QByteArray::fromStdString(*text);
        }
    }
    return answers;
}

} // namespace

class TestVersionBlock : public QObject
{
    Q_OBJECT

private slots:
    void embeddedBlockFollowsTable();
    void damagedBlocks_data();
    void damagedBlocks();
    void textValues_data();
    void textValues();
    void elfVariants_data();
    void elfVariants();
    void damagedElf_data();
    void damagedElf();
    void damagedPe_data();
    void damagedPe();
};

void TestVersionBlock::embeddedBlockFollowsTable()
{
    const TBytes block = EmbeddedBlock();
    QVERIFY(!block.empty());
    QCOMPARE(VersionChildKeys(block, "\\"), (std::vector<std::string>{"StringFileInfo", "VarFileInfo"}));
    QCOMPARE(VersionChildKeys(block, "\\StringFileInfo"), std::vector<std::string>{"041904E3"});
    std::vector<std::string> tableKeys;
    for (const auto &[key, value] : VersionTableStrings()) {
        tableKeys.push_back(key.toStdString());
    }
    QCOMPARE(VersionChildKeys(block, "\\StringFileInfo\\041904E3"), tableKeys);

    const auto value = QueryVersionValue(block, "\\");
    QVERIFY(value);
    const auto fixed = ParseFixedFileInfo(*value);
    QVERIFY(fixed);
    QCOMPARE(fixed->FileVersionMS, 0x00010000u);
    QCOMPARE(fixed->FileVersionLS, 0x00000003u);
    QCOMPARE(fixed->ProductVersionMS, 0x00010000u);
    QCOMPARE(fixed->ProductVersionLS, 0x00000003u);
    QCOMPARE(fixed->FileFlagsMask, 0x3Fu);
    QCOMPARE(fixed->FileFlags, 0u);
    QCOMPARE(fixed->FileOS, 4u);
    QCOMPARE(fixed->FileType, 1u);
    QCOMPARE(fixed->FileSubtype, 0u);
    const auto translation = QueryVersionValue(block, "\\VarFileInfo\\Translation");
    QVERIFY(translation && !translation->Text);
    QCOMPARE(TBytes(translation->Data.begin(), translation->Data.end()), (TBytes{0x19, 0x04, 0xE3, 0x04}));
    // Path spelling as the system call takes it: any case, doubled or missing separators.
    QCOMPARE(QueryVersionText(block, "stringfileinfo\\\\041904e3\\PRODUCTNAME"),
             std::optional<std::string>("Tervix BootLoader"));
}

void TestVersionBlock::damagedBlocks_data()
{
    QTest::addColumn<TMutation>("mutate");
    QTest::addColumn<QStringList>("answered");

    const TBytes b = EmbeddedBlock();
    QVERIFY(!b.empty());
    const std::size_t product = NodeAt(b, u"ProductName");
    const std::size_t table = NodeAt(b, u"041904E3");
    const std::size_t translation = NodeAt(b, u"Translation");
    const QStringList all = Probes;
    const QStringList upToFileVersion = {"fixed", "CompanyName", "FileVersion"};
    const QStringList beforeProduct = {"fixed", "translation", "CompanyName", "FileVersion"};
    auto allBut = [&](const QString &probe) {
        QStringList s = all;
        s.removeAll(probe);
        return s;
    };

    QTest::newRow("intact") << TMutation([](TBytes &) {}) << all;
    QTest::newRow("root length 0") << TMutation([](TBytes &m) { Put(m, 0, 0, 2); }) << QStringList();
    QTest::newRow("root length below the header")
        << TMutation([](TBytes &m) { Put(m, 0, 5, 2); }) << QStringList();
    QTest::newRow("root longer than the data") << TMutation([](TBytes &m) { m.pop_back(); }) << QStringList();
    QTest::newRow("data shorter than a header") << TMutation([](TBytes &m) { m.resize(4); }) << QStringList();
    QTest::newRow("no data") << TMutation([](TBytes &m) { m.clear(); }) << QStringList();
    QTest::newRow("root key without terminator")
        << TMutation([](TBytes &m) { Put(m, 0, 6 + 30, 2); }) << QStringList();
    QTest::newRow("root key not VS_VERSION_INFO")
        << TMutation([](TBytes &m) { m[6] = 'W'; }) << QStringList();
    QTest::newRow("cut in the fixed record")
        << TMutation([](TBytes &m) { CutAt(m, 40 + 20); }) << QStringList();
    QTest::newRow("cut in a string's header")
        << TMutation([=](TBytes &m) { CutAt(m, product + 3); }) << upToFileVersion;
    QTest::newRow("cut in a string's key")
        << TMutation([=](TBytes &m) { CutAt(m, product + 10); }) << upToFileVersion;
    QTest::newRow("cut in a string's value")
        << TMutation([=](TBytes &m) { CutAt(m, product + 38); }) << upToFileVersion;
    QTest::newRow("cut in the translation value")
        << TMutation([=](TBytes &m) { CutAt(m, translation + 34); }) << allBut("translation");
    QTest::newRow("string longer than its table")
        << TMutation([=](TBytes &m) { Put(m, product, table + LengthAt(m, table) - product + 4, 2); })
        << beforeProduct;
    QTest::newRow("string length 0") << TMutation([=](TBytes &m) { Put(m, product, 0, 2); }) << beforeProduct;
    QTest::newRow("string length below the header")
        << TMutation([=](TBytes &m) { Put(m, product, 4, 2); }) << beforeProduct;
    QTest::newRow("string key without terminator")
        << TMutation([=](TBytes &m) { Put(m, product, 6 + 22, 2); }) << beforeProduct;
    QTest::newRow("huge text value length")
        << TMutation([=](TBytes &m) { Put(m, product + 2, 0xFFFF, 2); }) << allBut("ProductName");
    QTest::newRow("text length taken as bytes")
        << TMutation([=](TBytes &m) { Put(m, product + 2, 2 * Load16(m, product + 2), 2); })
        << allBut("ProductName");
    QTest::newRow("unknown value type")
        << TMutation([=](TBytes &m) { Put(m, product + 4, 2, 2); }) << allBut("ProductName");
    QTest::newRow("translation shorter than a pair")
        << TMutation([=](TBytes &m) { Put(m, translation + 2, 2, 2); }) << allBut("translation");
    QTest::newRow("fixed record without signature")
        << TMutation([](TBytes &m) { Put(m, 40, 0, 4); }) << allBut("fixed");
}

// Each probe is answered exactly when expected, and then as by the intact block.
void TestVersionBlock::damagedBlocks()
{
    QFETCH(TMutation, mutate);
    QFETCH(QStringList, answered);
    const TBytes intact = EmbeddedBlock();
    const auto expected = Answers(intact);
    QCOMPARE(QStringList(expected.keys()).size(), Probes.size());

    TBytes block = intact;
    mutate(block);
    const auto answers = Answers(block);
    QCOMPARE(QSet<QString>(answers.keyBegin(), answers.keyEnd()),
             QSet<QString>(answered.begin(), answered.end()));
    for (auto it = answers.begin(); it != answers.end(); ++it) {
        QCOMPARE(it.value(), expected.value(it.key()));
    }
    QCOMPARE(VersionBlockLength(block).has_value(), !answered.isEmpty());
}

void TestVersionBlock::textValues_data()
{
    QTest::addColumn<QByteArray>("utf16le");
    QTest::addColumn<QString>("text");
    QTest::newRow("ASCII") << QByteArray("a\0b\0", 4) << "ab";
    QTest::newRow("stops at the terminator") << QByteArray("a\0\0\0b\0", 6) << "a";
    QTest::newRow("Cyrillic") << QByteArray("\x17\x04\x30\x04", 4) << "За";
    QTest::newRow("surrogate pair") << QByteArray("\x3D\xD8\x00\xDE", 4) << "\U0001F600";
    QTest::newRow("lone high surrogate") << QByteArray("\x3D\xD8x\0", 4) << "\uFFFDx";
    QTest::newRow("lone low surrogate") << QByteArray("\x00\xDEx\0", 4) << "\uFFFDx";
    QTest::newRow("high surrogate at the end") << QByteArray("x\0\x3D\xD8", 4) << "x\uFFFD";
    QTest::newRow("odd trailing byte") << QByteArray("x\0y", 3) << "x";
}

void TestVersionBlock::textValues()
{
    QFETCH(QByteArray, utf16le);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(Utf16LeToUtf8(ToBytes(utf16le))), text);
}

void TestVersionBlock::elfVariants_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("64-bit big-endian") << "elf64-big";
    QTest::newRow("32-bit little-endian") << "elf32-little";
    QTest::newRow("32-bit big-endian") << "elf32-big";
    QTest::newRow("64-bit little-endian object") << "elf64-little";
}

// Other ELF classes and byte orders, made by objcopy from the generated block file.
void TestVersionBlock::elfVariants()
{
    QFETCH(QString, format);
    QTemporaryDir dir;
    const QString out = dir.filePath("variant.o");
    QString error;
    QVERIFY2(
        RunTool(QStringLiteral(TXL_OBJCOPY),
                {"-I", "binary", "-O", format, "--rename-section",
                 ".data=" + QString::fromLatin1(VersionSectionName), QStringLiteral(TXL_VERSION_BLOCK), out},
                &error),
        qPrintable(error));
    const TBytes file = ToBytes(ReadWholeFile(out));
    QCOMPARE(file.at(4), format.startsWith("elf64") ? 2 : 1);
    QCOMPARE(file.at(5), format.endsWith("big") ? 2 : 1);
    QCOMPARE(ExtractVersionBlock(TMemorySource(file)), std::optional(EmbeddedBlock()));
}

void TestVersionBlock::damagedElf_data()
{
    QTest::addColumn<TMutation>("mutate");
    QTest::addColumn<bool>("found");

    // Where this program's section headers and its version section's header lie.
    const TBytes f = SelfBytes();
    QVERIFY(f.size() > 64 && f[4] == 2 && f[5] == 1);
    const std::size_t shoff = Load64(f, 0x28);
    const std::size_t shnum = Load16(f, 0x3C);
    const std::size_t strtab = shoff + 64 * Load16(f, 0x3E);
    std::size_t version = 0;
    for (std::size_t i = 0; i < shnum && !version; ++i) {
        const std::size_t sh = shoff + 64 * i;
        const std::size_t name = Load64(f, strtab + 0x18) + Load32(f, sh);
        if (std::string_view(reinterpret_cast<const char *>(&f[name])) == VersionSectionName) {
            version = sh;
        }
    }
    QVERIFY(version);
    const std::size_t size = f.size();
    const std::size_t nameOffset = Load32(f, version);

    QTest::newRow("intact") << TMutation([](TBytes &) {}) << true;
    QTest::newRow("section table past the end")
        << TMutation([=](TBytes &m) { Put(m, 0x28, size - 10, 8); }) << false;
    QTest::newRow("section table offset overflows")
        << TMutation([=](TBytes &m) { Put(m, 0x28, ~std::uint64_t{0} - 8, 8); }) << false;
    QTest::newRow("section count past the end")
        << TMutation([=](TBytes &m) { Put(m, 0x3C, 0xFFFF, 2); }) << false;
    QTest::newRow("no sections") << TMutation([=](TBytes &m) { Put(m, 0x3C, 0, 2); }) << false;
    QTest::newRow("header entries too small") << TMutation([=](TBytes &m) { Put(m, 0x3A, 32, 2); }) << false;
    QTest::newRow("name table index out of range")
        << TMutation([=](TBytes &m) { Put(m, 0x3E, shnum, 2); }) << false;
    QTest::newRow("name table past the end")
        << TMutation([=](TBytes &m) { Put(m, strtab + 0x20, size, 8); }) << false;
    QTest::newRow("name offset past the name table")
        << TMutation([=](TBytes &m) { Put(m, version, 0xFFFFFFF0, 4); }) << false;
    QTest::newRow("name cut by the name table's end")
        << TMutation([=](TBytes &m) { Put(m, strtab + 0x20, nameOffset + 4, 8); }) << false;
    QTest::newRow("section data past the end")
        << TMutation([=](TBytes &m) { Put(m, version + 0x18, size - 4, 8); }) << false;
    QTest::newRow("section size past the end")
        << TMutation([=](TBytes &m) { Put(m, version + 0x20, size, 8); }) << false;
    QTest::newRow("section size overflows")
        << TMutation([=](TBytes &m) { Put(m, version + 0x20, ~std::uint64_t{0}, 8); }) << false;
    QTest::newRow("section without file data")
        << TMutation([=](TBytes &m) { Put(m, version + 4, 8, 4); }) << false;
    QTest::newRow("file cut before the section table")
        << TMutation([=](TBytes &m) { m.resize(shoff + 8); }) << false;
    QTest::newRow("unknown class") << TMutation([](TBytes &m) { m[4] = 3; }) << false;
}

void TestVersionBlock::damagedElf()
{
    QFETCH(TMutation, mutate);
    QFETCH(bool, found);
    TBytes file = SelfBytes();
    mutate(file);
    const auto block = ExtractVersionBlock(TMemorySource(file));
    QCOMPARE(block.has_value(), found);
    if (found) {
        QCOMPARE(*block, EmbeddedBlock());
    }
}

void TestVersionBlock::damagedPe_data()
{
    QTest::addColumn<TMutation>("mutate");
    QTest::addColumn<bool>("found");
    if (const QString missing = MissingPeTools(); !missing.isEmpty()) {
        QSKIP(qPrintable(missing));
    }

    // Landmarks of the PE that the resource compiler makes of the generated script.
    QTemporaryDir dir;
    QString error;
    const QString pe =
        BuildPe(dir.path(), "generated", ReadWholeFile(QStringLiteral(TXL_VERSION_RC)), &error);
    QVERIFY2(!pe.isEmpty(), qPrintable(error));
    const TBytes f = ToBytes(ReadWholeFile(pe));
    const std::size_t nt = Load32(f, 0x3C);
    const std::size_t optional = nt + 24;
    QCOMPARE(Load16(f, optional), 0x20B);
    const std::size_t resourceDir = optional + 112 + 8 * 2;
    const std::uint32_t rva = Load32(f, resourceDir);
    std::size_t rsrc = 0;    // file offset of the resource directory
    std::size_t section = 0; // its section header
    for (std::size_t i = 0; i < Load16(f, nt + 6); ++i) {
        const std::size_t sh = optional + Load16(f, nt + 20) + 40 * i;
        if (Load32(f, sh + 12) == rva) {
            section = sh;
            rsrc = Load32(f, sh + 20);
        }
    }
    QVERIFY(rsrc);
    // Type, name and language levels, each with its one entry right after the 16-byte header.
    const std::size_t typeEntry = rsrc + 16;
    const std::size_t nameEntry = rsrc + (Load32(f, typeEntry + 4) & 0x7FFFFFFF) + 16;
    const std::size_t languageEntry = rsrc + (Load32(f, nameEntry + 4) & 0x7FFFFFFF) + 16;
    const std::size_t dataEntry = rsrc + Load32(f, languageEntry + 4);
    QCOMPARE(Load32(f, typeEntry), 16u);
    const std::size_t size = f.size();

    const auto row = [&](const char *name, TMutation m, bool found) {
        QTest::newRow(name) << TMutation([f, m](TBytes &b) {
            b = f;
            m(b);
        }) << found;
    };
    row(
        "intact", [](TBytes &) {}, true);
    row(
        "no MZ", [](TBytes &m) { m[1] = 'X'; }, false);
    row(
        "header offset past the end", [=](TBytes &m) { Put(m, 0x3C, size, 4); }, false);
    row(
        "no PE signature", [=](TBytes &m) { m[nt + 1] = 'X'; }, false);
    row(
        "unknown optional header", [=](TBytes &m) { Put(m, optional, 0x999, 2); }, false);
    row(
        "optional header too short", [=](TBytes &m) { Put(m, nt + 20, 112, 2); }, false);
    row(
        "too few data directories", [=](TBytes &m) { Put(m, optional + 108, 2, 4); }, false);
    row(
        "no resource directory", [=](TBytes &m) { Put(m, resourceDir, 0, 4); }, false);
    row(
        "resource directory in no section", [=](TBytes &m) { Put(m, resourceDir, 0x7FFF0000, 4); }, false);
    row(
        "resource directory too small", [=](TBytes &m) { Put(m, resourceDir + 4, 8, 4); }, false);
    row(
        "more sections than the loader takes", [=](TBytes &m) { Put(m, nt + 6, 97, 2); }, false);
    row(
        "section data past the end", [=](TBytes &m) { Put(m, section + 20, size, 4); }, false);
    row(
        "type entry count past the directory",
        [=](TBytes &m) {
            Put(m, rsrc + 14, 0xFFFF, 2);
            Put(m, typeEntry, 17, 4);
        },
        false);
    row(
        "version type found before a bad count", [=](TBytes &m) { Put(m, rsrc + 14, 0xFFFF, 2); }, true);
    row(
        "version type not a directory", [=](TBytes &m) { Put(m, typeEntry + 4, 0x18, 4); }, false);
    row(
        "name level points back to the root", [=](TBytes &m) { Put(m, typeEntry + 4, 0x80000000, 4); },
        false);
    row(
        "language level points to itself",
        [=](TBytes &m) { Put(m, nameEntry + 4, Load32(m, typeEntry + 4), 4); }, false);
    row(
        "language entry is a directory", [=](TBytes &m) { Put(m, languageEntry + 4, 0x80000000, 4); }, false);
    row(
        "empty language level", [=](TBytes &m) { Put(m, languageEntry - 2, 0, 2); }, false);
    row(
        "data entry outside the directory", [=](TBytes &m) { Put(m, languageEntry + 4, 0x7FFFFFF0, 4); },
        false);
    row(
        "data address in no section", [=](TBytes &m) { Put(m, dataEntry, 0x10, 4); }, false);
    row(
        "data larger than its section", [=](TBytes &m) { Put(m, dataEntry + 4, 0x10000000, 4); }, false);
    row(
        "file cut inside the resource data", [=](TBytes &m) { m.resize(rsrc + 0x60); }, false);
}

void TestVersionBlock::damagedPe()
{
    QFETCH(TMutation, mutate);
    QFETCH(bool, found);
    TBytes file;
    mutate(file);
    const auto block = ExtractVersionBlock(TMemorySource(file));
    QCOMPARE(block.has_value(), found);
    if (found) {
        QCOMPARE(*block, EmbeddedBlock());
    }
}

QTEST_GUILESS_MAIN(TestVersionBlock)
#include "tst_versionblock.moc"
