// The block walker and the executable readers on bytes: the layout of the block the build
// embeds, one table of damaged blocks, and damaged or differently built ELF and PE files.

#include "ByteOrder.h"
#include "ByteSource.h"
#include "ExeVersionBlock.h"
#include "VersionBlock.h"
#include "VersionTestTools.h"

#include <QCoreApplication>
#include <QSet>
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

TMutation Set(std::size_t at, std::uint64_t v, std::size_t width)
{
    return [=](TBytes &b) { Put(b, at, v, width); };
}

// Offset of the node keyed key (its 6-byte header precedes the key).
std::size_t NodeAt(const TBytes &block, std::u16string_view key)
{
    TBytes pattern;
    for (const char16_t c : key) {
        pattern.insert(pattern.end(), {std::uint8_t(c), std::uint8_t(c >> 8)});
    }
    pattern.insert(pattern.end(), {0, 0});
    return std::size_t(std::search(block.begin(), block.end(), pattern.begin(), pattern.end()) -
                       block.begin()) -
           6;
}

TBytes SelfBytes()
{
    return ToBytes(ReadWholeFile(QCoreApplication::applicationFilePath()));
}

TBytes EmbeddedBlock()
{
    return ExtractVersionBlock(TMemorySource(SelfBytes())).value_or(TBytes{});
}

// Ends the block at offset as a short file would: each enclosing table is shortened to end
// there, so the node cut into overruns its parent.
TMutation CutAt(std::size_t offset)
{
    return [=](TBytes &b) {
        for (const std::u16string_view key :
             {u"VS_VERSION_INFO", u"StringFileInfo", u"041904E3", u"VarFileInfo"}) {
            const std::size_t at = NodeAt(b, key);
            if (at < offset && offset < at + Load16(b, at)) {
                Put(b, at, offset - at, 2);
            }
        }
        b.resize(offset);
    };
}

const QStringList Probes = {"fixed", "translation", "CompanyName", "FileVersion", "ProductName", "Comments"};

// The probes a block answers, with the answers.
QMap<QString, QByteArray> Answers(const TBytes &block)
{
    QMap<QString, QByteArray> answers;
    const auto bytes = [](std::span<const std::uint8_t> d) {
        return QByteArray((const char *)d.data(), d.size());
    };
    if (const auto v = QueryVersionValue(block, "\\"); v && ParseFixedFileInfo(*v)) {
        answers["fixed"] = bytes(v->Data);
    }
    if (const auto v = QueryVersionValue(block, "\\VarFileInfo\\Translation"); v && v->Data.size() >= 4) {
        answers["translation"] = bytes(v->Data);
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
    void executables_data();
    void executables();
};

void TestVersionBlock::embeddedBlockFollowsTable()
{
    const TBytes block = EmbeddedBlock();
    QCOMPARE(VersionChildKeys(block, "\\"), (std::vector<std::string>{"StringFileInfo", "VarFileInfo"}));
    QCOMPARE(VersionChildKeys(block, "\\StringFileInfo"), std::vector<std::string>{"041904E3"});
    std::vector<std::string> keys;
    for (const auto &[key, value] : VersionTableStrings()) {
        keys.push_back(key.toStdString());
    }
    QCOMPARE(VersionChildKeys(block, "\\StringFileInfo\\041904E3"), keys);
    const auto fixed = ParseFixedFileInfo(QueryVersionValue(block, "\\").value_or(TVersionValue{}));
    QVERIFY(fixed);
    QCOMPARE((std::vector<std::uint32_t>{fixed->FileVersionMS, fixed->FileVersionLS, fixed->ProductVersionMS,
                                         fixed->ProductVersionLS, fixed->FileFlagsMask, fixed->FileFlags,
                                         fixed->FileOS, fixed->FileType, fixed->FileSubtype}),
             (std::vector<std::uint32_t>{0x00010000, 3, 0x00010000, 3, 0x3F, 0, 4, 1, 0}));
    const auto pair = QueryVersionValue(block, "\\VarFileInfo\\Translation");
    QVERIFY(pair && !pair->Text);
    QCOMPARE(TBytes(pair->Data.begin(), pair->Data.end()), (TBytes{0x19, 0x04, 0xE3, 0x04}));
    // Spelt as the system's query takes it: any case, doubled or missing separators.
    QCOMPARE(QueryVersionText(block, "stringfileinfo\\\\041904e3\\PRODUCTNAME"), "Tervix BootLoader");
}

void TestVersionBlock::damagedBlocks_data()
{
    QTest::addColumn<TMutation>("mutate");
    QTest::addColumn<QStringList>("answered");
    const TBytes b = EmbeddedBlock();
    const std::size_t product = NodeAt(b, u"ProductName");
    const std::size_t table = NodeAt(b, u"041904E3");
    const std::size_t translation = NodeAt(b, u"Translation");
    const QStringList upToFileVersion = {"fixed", "CompanyName", "FileVersion"};
    const QStringList beforeProduct = {"fixed", "translation", "CompanyName", "FileVersion"};
    const auto allBut = [](const QString &probe) {
        QStringList s = Probes;
        s.removeAll(probe);
        return s;
    };
    const auto row = [](const char *name, TMutation m, const QStringList &answered) {
        QTest::newRow(name) << m << answered;
    };

    row(
        "intact", [](TBytes &) {}, Probes);
    row("root length 0", Set(0, 0, 2), {});
    row("root length below the header", Set(0, 5, 2), {});
    row("root longer than the data", [](TBytes &m) { m.pop_back(); }, {});
    row("data shorter than a header", [](TBytes &m) { m.resize(4); }, {});
    row("root key without terminator", Set(0, 6 + 30, 2), {});
    row("root key not VS_VERSION_INFO", Set(6, 'W', 1), {});
    row("cut in the fixed record", CutAt(40 + 20), {});
    row("cut in a string's header", CutAt(product + 3), upToFileVersion);
    row("cut in a string's key", CutAt(product + 10), upToFileVersion);
    row("cut in a string's value", CutAt(product + 38), upToFileVersion);
    row("cut in the translation value", CutAt(translation + 34), allBut("translation"));
    row("string longer than its table", Set(product, table + Load16(b, table) - product + 4, 2),
        beforeProduct);
    row("string length 0", Set(product, 0, 2), beforeProduct);
    row("string length below the header", Set(product, 4, 2), beforeProduct);
    row("string key without terminator", Set(product, 6 + 22, 2), beforeProduct);
    row("huge text value length", Set(product + 2, 0xFFFF, 2), allBut("ProductName"));
    row("text length taken as bytes", Set(product + 2, 2 * Load16(b, product + 2), 2), allBut("ProductName"));
    row("unknown value type", Set(product + 4, 2, 2), allBut("ProductName"));
    row("translation shorter than a pair", Set(translation + 2, 2, 2), allBut("translation"));
    row("fixed record without signature", Set(40, 0, 4), allBut("fixed"));
}

// Each probe is answered exactly when expected, and then as by the intact block.
void TestVersionBlock::damagedBlocks()
{
    QFETCH(TMutation, mutate);
    QFETCH(QStringList, answered);
    const auto intact = Answers(EmbeddedBlock());
    QCOMPARE(intact.size(), Probes.size());
    TBytes block = EmbeddedBlock();
    mutate(block);
    const auto answers = Answers(block);
    QCOMPARE(QSet<QString>(answers.keyBegin(), answers.keyEnd()),
             QSet<QString>(answered.begin(), answered.end()));
    for (auto it = answers.begin(); it != answers.end(); ++it) {
        QCOMPARE(it.value(), intact.value(it.key()));
    }
    QCOMPARE(VersionBlockLength(block).has_value(), !answered.isEmpty());
}

void TestVersionBlock::textValues_data()
{
    QTest::addColumn<QByteArray>("utf16le");
    QTest::addColumn<QString>("text");
    QTest::newRow("stops at the terminator") << QByteArray("a\0\0\0b\0", 6) << "a";
    QTest::newRow("surrogate pair") << QByteArray("\x3D\xD8\x00\xDE", 4) << "\U0001F600";
    QTest::newRow("lone surrogates") << QByteArray("\x00\xDEx\0\x3D\xD8", 6) << "\uFFFDx\uFFFD";
    QTest::newRow("odd trailing byte") << QByteArray("x\0y", 3) << "x";
}

void TestVersionBlock::textValues()
{
    QFETCH(QByteArray, utf16le);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(Utf16LeToUtf8(ToBytes(utf16le))), text);
}

void TestVersionBlock::executables_data()
{
    QTest::addColumn<TBytes>("file");
    QTest::addColumn<bool>("found");
    const auto row = [](const char *name, const TBytes &base, TMutation m, bool found) {
        TBytes file = base;
        m(file);
        QTest::newRow(name) << file << found;
    };
    const auto none = [](TBytes &) {};

    // This program (ELF64 little-endian): its section headers and its version section's.
    const TBytes elf = SelfBytes();
    const std::size_t shoff = Load64(elf, 0x28);
    const std::size_t strtab = shoff + 64 * Load16(elf, 0x3E);
    std::size_t sec = 0;
    for (std::size_t i = 0; i < Load16(elf, 0x3C) && !sec; ++i) {
        const char *name = (const char *)&elf[Load64(elf, strtab + 0x18) + Load32(elf, shoff + 64 * i)];
        sec = name == VersionSectionName ? shoff + 64 * i : 0;
    }
    QVERIFY(sec);
    row("ELF intact", elf, none, true);
    row("ELF section table past the end", elf, Set(0x28, elf.size() - 10, 8), false);
    row("ELF section table offset overflows", elf, Set(0x28, ~0ull - 8, 8), false);
    row("ELF section count past the end", elf, Set(0x3C, 0xFFFF, 2), false);
    row("ELF header entries too small", elf, Set(0x3A, 32, 2), false);
    row("ELF name table index out of range", elf, Set(0x3E, Load16(elf, 0x3C), 2), false);
    row("ELF name table past the end", elf, Set(strtab + 0x20, elf.size(), 8), false);
    row("ELF name offset past the name table", elf, Set(sec, 0xFFFFFFF0, 4), false);
    row("ELF name only begins with ours", elf,
        Set(Load64(elf, strtab + 0x18) + Load32(elf, sec) + VersionSectionName.size(), 'X', 1), false);
    row("ELF name cut by the name table's end", elf, Set(strtab + 0x20, Load32(elf, sec) + 4, 8), false);
    row("ELF section data past the end", elf, Set(sec + 0x18, elf.size() - 4, 8), false);
    row("ELF section size overflows", elf, Set(sec + 0x20, ~0ull, 8), false);
    row("ELF section without file data", elf, Set(sec + 4, 8, 4), false);
    row(
        "ELF cut before the section table", elf, [=](TBytes &m) { m.resize(shoff + 8); }, false);
    // Other classes and byte orders, made by objcopy from the generated block (test_files.py).
    for (const char *format : {"elf64-big", "elf32-little", "elf32-big"}) {
        QVERIFY2(QFile::exists(TestFile(format)), format);
        row(format, ToBytes(ReadWholeFile(TestFile(format))), none, true);
    }

    if (!QFile::exists(TestFile("generated.exe"))) {
        QVERIFY2(!MissingPackages().isEmpty(), "generated.exe was not made");
        return; // the PE rows need the resource compiler
    }
    // The PE image of the generated script and the landmarks of its resource tree.
    const TBytes pe = ToBytes(ReadWholeFile(TestFile("generated.exe")));
    const std::size_t nt = Load32(pe, 0x3C);
    const std::size_t opt = nt + 24;
    const std::size_t dirEntry = opt + 112 + 8 * 2; // PE32+, resource directory
    std::size_t header = 0;                         // the resource section's header
    for (std::size_t i = 0; i < Load16(pe, nt + 6) && !header; ++i) {
        const std::size_t sh = opt + Load16(pe, nt + 20) + 40 * i;
        header = Load32(pe, sh + 12) == Load32(pe, dirEntry) ? sh : 0;
    }
    QVERIFY(header);
    const std::size_t rsrc = Load32(pe, header + 20);
    const std::size_t type = rsrc + 16; // each level's one entry follows its 16-byte header
    const std::size_t name = rsrc + (Load32(pe, type + 4) & 0x7FFFFFFF) + 16;
    const std::size_t language = rsrc + (Load32(pe, name + 4) & 0x7FFFFFFF) + 16;
    const std::size_t data = rsrc + Load32(pe, language + 4);
    QCOMPARE(Load32(pe, type), 16u);
    row("PE intact", pe, none, true);
    row("PE header offset past the end", pe, Set(0x3C, pe.size(), 4), false);
    row("PE without signature", pe, Set(nt + 1, 'X', 1), false);
    row("PE optional header unknown", pe, Set(opt, 0x999, 2), false);
    row("PE optional header too short", pe, Set(nt + 20, 112, 2), false);
    row("PE with too few data directories", pe, Set(opt + 108, 2, 4), false);
    row("PE resource directory in no section", pe, Set(dirEntry, 0x7FFF0000, 4), false);
    row("PE resource directory too small", pe, Set(dirEntry + 4, 8, 4), false);
    row("PE with more sections than the loader takes", pe, Set(nt + 6, 97, 2), false);
    row("PE section data past the end", pe, Set(header + 20, pe.size(), 4), false);
    row(
        "PE type count past the directory, no version type", pe,
        [=](TBytes &m) {
            Put(m, rsrc + 14, 0xFFFF, 2);
            Put(m, type, 17, 4);
        },
        false);
    row("PE version type found before a bad count", pe, Set(rsrc + 14, 0xFFFF, 2), true);
    row("PE version type not a directory", pe, Set(type + 4, 0x18, 4), false);
    row("PE name level points back to the root", pe, Set(type + 4, 0x80000000, 4), false);
    row("PE language level points to itself", pe, Set(name + 4, Load32(pe, type + 4), 4), false);
    row("PE language entry is a directory", pe, Set(language + 4, 0x80000000, 4), false);
    row("PE language level empty", pe, Set(language - 2, 0, 2), false);
    row("PE data entry outside the directory", pe, Set(language + 4, 0x7FFFFFF0, 4), false);
    row("PE data address in no section", pe, Set(data, 0x10, 4), false);
    row("PE data larger than its section", pe, Set(data + 4, 0x10000000, 4), false);
    row(
        "PE cut inside the resource data", pe, [=](TBytes &m) { m.resize(rsrc + 0x60); }, false);
}

// The readers find the build's block exactly when the file is sound, and never read outside it.
void TestVersionBlock::executables()
{
    QFETCH(TBytes, file);
    QFETCH(bool, found);
    const auto block = ExtractVersionBlock(TMemorySource(file));
    QCOMPARE(block.has_value(), found);
    if (found) {
        QCOMPARE(*block, EmbeddedBlock());
    }
}

QTEST_GUILESS_MAIN(TestVersionBlock)
#include "tst_versionblock.moc"
