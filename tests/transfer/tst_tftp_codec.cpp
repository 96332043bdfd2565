// Packet building, image slicing and reply decisions, without sockets.

#include "DataRow.h"
#include "LoadData.h"
#include "TftpPacket.h"

#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <array>
#include <string>
#include <vector>

using namespace tftp;
using uitest::Row;

class TestTftpCodec : public QObject
{
    Q_OBJECT
private slots:
    void builtInImage();
    void placeholderImage();
    void writeRequest();
    void dataPacketsCoverTheImage();
    void dataPacketBounds();
    void replyOpcode_data();
    void replyOpcode();
    void dottedQuad_data();
    void dottedQuad();
    void directedBroadcast();
    void ackLedger_data();
    void ackLedger();
};

void TestTftpCodec::builtInImage()
{
    QCOMPARE(FirmwareSize, std::size_t(61280));
    QCOMPARE(std::string(FirmwareFileName), std::string("ZRM-40K_06_V48.xfw"));
    QCOMPARE(std::string(DefaultDeviceAddress), std::string("192.168.0.200"));
}

void TestTftpCodec::placeholderImage()
{
    if (!FirmwareIsPlaceholder)
        QSKIP("checks how the repository's placeholder image was made; this build carries another image");
    // ARM vector table: eight LDR PC, [PC, #24] words (0xE59FF018, little-endian).
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(FirmwareImage), 32),
             QByteArray("\x18\xF0\x9F\xE5").repeated(8));
    // Every block differs, so a block from the wrong offset cannot pass unnoticed.
    QSet<QByteArray> blocks;
    for (std::size_t offset = 0; offset < FirmwareSize; offset += BlockSize)
        blocks.insert(QByteArray(reinterpret_cast<const char *>(FirmwareImage + offset),
                                 int(std::min(BlockSize, FirmwareSize - offset))));
    QCOMPARE(blocks.size(), 120);
}

void TestTftpCodec::writeRequest()
{
    std::array<std::uint8_t, PacketBufferSize> buf{};
    // A wrong length, or none, makes the bytes differ.
    const auto len = BuildWriteRequest(buf, FirmwareFileName).value_or(0);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(buf.data()), int(len)),
             QByteArray("\x00\x02ZRM-40K_06_V48.xfw\x00octet\x00", 27));
    // 2 + name + 1 + 5 + 1 must fit into 1,024 bytes: 1,015 is the longest name.
    QCOMPARE(BuildWriteRequest(buf, std::string(1015, 'a')).value_or(0), std::size_t(1024));
    QVERIFY(!BuildWriteRequest(buf, std::string(1016, 'a')));
    QVERIFY(!BuildWriteRequest(buf, std::string(100000, 'a')));
    QVERIFY(!BuildWriteRequest(buf, ""));
    QVERIFY(!BuildWriteRequest(buf, std::string_view("a\0b", 3)));
}

void TestTftpCodec::dataPacketsCoverTheImage()
{
    // Slice the image as the upload does and put it back together.
    std::array<std::uint8_t, PacketBufferSize> buf{};
    const auto image = FirmwareBytes();
    QByteArray joined;
    std::vector<std::size_t> sizes;
    unsigned block = 1;
    for (std::size_t offset = 0; offset < image.size(); offset += BlockSize, ++block) {
        const auto len =
            BuildDataPacket(buf, block, image, offset, std::min(BlockSize, image.size() - offset));
        QVERIFY(len);
        QCOMPARE(buf[0], 0);
        QCOMPARE(buf[1], 3);
        QCOMPARE(unsigned(buf[2] << 8 | buf[3]), block);
        joined.append(reinterpret_cast<const char *>(buf.data() + 4), int(*len - 4));
        sizes.push_back(*len);
    }
    QCOMPARE(sizes.size(), std::size_t(120));
    QCOMPARE(std::count(sizes.begin(), sizes.end(), std::size_t(516)), 119);
    QCOMPARE(sizes.back(), std::size_t(356));
    QCOMPARE(joined, QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size())));
}

void TestTftpCodec::dataPacketBounds()
{
    std::array<std::uint8_t, PacketBufferSize> buf{};
    const std::vector<std::uint8_t> image(1024, 0x5A);
    // The empty block that ends an image of whole blocks.
    QCOMPARE(BuildDataPacket(buf, 3, image, 1024, 0).value_or(0), std::size_t(4));
    // Never past the image's end, never more than one block.
    QVERIFY(!BuildDataPacket(buf, 3, image, 1024, 1));
    QVERIFY(!BuildDataPacket(buf, 3, image, 1025, 0));
    QVERIFY(!BuildDataPacket(buf, 1, image, 600, 512));
    const std::vector<std::uint8_t> big(4096, 1);
    QVERIFY(!BuildDataPacket(buf, 1, big, 0, 513));
    // Nor past a small packet buffer.
    std::array<std::uint8_t, 100> small{};
    QVERIFY(!BuildDataPacket(small, 1, big, 0, 512));
    // Block numbers keep their low 16 bits.
    QVERIFY(BuildDataPacket(buf, 65537, image, 0, 1));
    QCOMPARE(unsigned(buf[2] << 8 | buf[3]), 1u);
}

void TestTftpCodec::replyOpcode_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("opcode");
    QTest::addColumn<int>("result"); // before the clock ran out; after it, always a timeout
    const int unknown = trUnknownError;
    QTest::newRow("ack") << QByteArray("\x00\x04\x00\x01", 4) << 4 << int(trOK);
    QTest::newRow("error") << QByteArray("\x00\x05\x00\x00oops\x00", 9) << 5 << int(trDeviceError);
    QTest::newRow("opcode only") << QByteArray("\x00\x04", 2) << 4 << int(trOK);
    QTest::newRow("zero") << QByteArray(4, '\0') << 0 << unknown;
    QTest::newRow("empty") << QByteArray() << 0 << unknown;
    QTest::newRow("one byte zero") << QByteArray(1, '\0') << 0 << unknown;
    QTest::newRow("one byte") << QByteArray(1, '\x04') << 0 << unknown; // not opcode 1024: no opcode at all
    QTest::newRow("opcode 1024") << QByteArray("\x04\x00", 2) << 0x400 << unknown;
    QTest::newRow("unknown opcode") << QByteArray("\x00\x07\x00\x01", 4) << 7 << unknown;
    QTest::newRow("high byte") << QByteArray("\xff\xfe", 2) << 0xFFFE << unknown;
}

void TestTftpCodec::replyOpcode()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, opcode);
    QFETCH(int, result);
    QCOMPARE(ReplyOpcode({reinterpret_cast<const std::uint8_t *>(datagram.constData()),
                          std::size_t(datagram.size())}),
             opcode);
    // The clock wins over any opcode; then ERROR, then ACK; everything else is unknown.
    QCOMPARE(DecideResult(false, opcode), result);
    QCOMPARE(DecideResult(true, opcode), trTimeout);
    QCOMPARE(DecideResult(true, -1), trTimeout); // no reply at all
}

void TestTftpCodec::dottedQuad_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("formatted");
    QTest::addColumn<bool>("oneHost"); // may name one device
    QTest::newRow("default") << "192.168.0.200" << true << "192.168.0.200" << true;
    QTest::newRow("leading zeros are decimal") << "192.168.010.001" << true << "192.168.10.1" << true;
    QTest::newRow("zero-padded") << "010.020.030.040" << true << "10.20.30.40" << true;
    QTest::newRow("nine is no octal digit") << "192.168.0.09" << true << "192.168.0.9" << true;
    QTest::newRow("edges") << "0.0.0.0" << true << "0.0.0.0" << false;
    QTest::newRow("all ones") << "255.255.255.255" << true << "255.255.255.255" << false;
    QTest::newRow("empty field") << "..." << false << "" << false;
    QTest::newRow("empty") << "" << false << "" << false;
    QTest::newRow("three groups") << "192.168.0" << false << "" << false;
    QTest::newRow("five groups") << "1.2.3.4.5" << false << "" << false;
    QTest::newRow("over 255") << "192.168.0.256" << false << "" << false;
    QTest::newRow("four digits") << "192.168.0.0200" << false << "" << false;
    QTest::newRow("hex") << "0x7f.0.0.1" << false << "" << false;
    QTest::newRow("blank inside") << "192.168. 0.200" << false << "" << false;
    QTest::newRow("trailing blank") << "192.168.0.200 " << false << "" << false;
    QTest::newRow("trailing dot") << "192.168.0.200." << false << "" << false;
    QTest::newRow("sign") << "+1.2.3.4" << false << "" << false;
    QTest::newRow("single number") << "3232235720" << false << "" << false;
    QTest::newRow("host name") << "device.local" << false << "" << false;
    QTest::newRow("this network") << "0.1.2.3" << true << "0.1.2.3" << false;
    QTest::newRow("multicast low") << "224.0.0.1" << true << "224.0.0.1" << false;
    QTest::newRow("multicast high") << "239.255.255.250" << true << "239.255.255.250" << false;
    QTest::newRow("below multicast") << "223.255.255.255" << true << "223.255.255.255" << true;
    QTest::newRow("reserved") << "240.0.0.1" << true << "240.0.0.1" << false;
    QTest::newRow("reserved, last") << "255.255.255.254" << true << "255.255.255.254" << false;
}

void TestTftpCodec::dottedQuad()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QString, formatted);
    QFETCH(bool, oneHost);
    const auto parsed = ParseDottedQuad(text.toStdString());
    QCOMPARE(parsed.has_value(), ok);
    if (ok) {
        QCOMPARE(QString::fromStdString(FormatDottedQuad(*parsed)), formatted);
        QCOMPARE(IsSingleHostAddress(*parsed), oneHost);
    }
}

void TestTftpCodec::directedBroadcast()
{
    QCOMPARE(DirectedBroadcast(0xC0A8000A, 0xFFFFFF00), std::optional<std::uint32_t>(0xC0A800FF));
    QCOMPARE(DirectedBroadcast(0x0A0B0C0D, 0xFFF00000), std::optional<std::uint32_t>(0x0A0FFFFF));
    QCOMPARE(DirectedBroadcast(0x7F000001, 0xFF000000), std::optional<std::uint32_t>(0x7FFFFFFF));
    // On /31 and /32 every address is a host.
    QVERIFY(!DirectedBroadcast(0xC0A8000A, 0xFFFFFFFE));
    QVERIFY(!DirectedBroadcast(0xC0A8000A, 0xFFFFFFFF));
}

void TestTftpCodec::ackLedger_data()
{
    // Each step: ACK@AWAITED, /HIGHEST when more blocks went out than the one
    // awaited, ~ when it came late, then r (a reply), p (taken until the
    // device numbers) or - (no reply). Then the first block to prove again.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("unproven");
    Row("every ACK once", "0@0r 1@1r 2@2r 3@3r", 0);
    Row("the WRQ takes only ACK 0", "1@0- 0@0r", 0);
    // The WRQ's ACK comes twice: its copy passes block 1, whose own ACK proves it late.
    Row("a copy of every ACK", "0@0r 0@1p 1@2- 1@2- 2@2r 2@3- 3@3r", 0);
    Row("copies, block 1 lost", "0@0r 0@1p 2@2r 2@1/2- 1@1/2r", 0);
    Row("copies, block 1 still lost", "0@0r 0@1p 2@2r 2@3- 3@3r", 1);
    Row("numbered, ACK 0 no longer counts", "0@0r 1@1r 0@2- 0@2~-", 0);
    Row("a late ACK 0 is no reply", "0@0r 0@1~- 0@1p", 1);
    Row("all ACKs 0", "0@0r 0@1p 0@2p 0@3p 0@120p", 1);
    Row("an ACK of a block never sent proves nothing", "0@0r 1@1r 5@2- 2@2r", 0);
    Row("numbers wrap", "65535@65535r 0@65536r 65535@65537- 1@65537r", 0);
}

void TestTftpCodec::ackLedger()
{
    QFETCH(QString, steps);
    QFETCH(int, unproven);
    const QRegularExpression step(R"((\d+)@(\d+)(?:/(\d+))?(~?)([rp-]))");
    TAckLedger ledger;
    bool numbered = false;
    for (const QString &text : steps.split(' ')) {
        const QRegularExpressionMatch m = step.match(text);
        QVERIFY2(m.hasMatch(), qPrintable(text));
        const unsigned awaited = m.captured(2).toUInt();
        const auto verdict =
            ledger.Judge(std::uint16_t(m.captured(1).toUInt()), awaited,
                         m.captured(3).isEmpty() ? awaited : m.captured(3).toUInt(), m.captured(4).isEmpty());
        const char expected = m.captured(5).at(0).toLatin1();
        QVERIFY2(verdict == (expected == 'r'   ? TAckLedger::TVerdict::Reply
                             : expected == 'p' ? TAckLedger::TVerdict::Provisional
                                               : TAckLedger::TVerdict::NotAReply),
                 qPrintable(text));
        numbered |= m.captured(1) != "0" && expected != '-';
    }
    QCOMPARE(int(ledger.FirstUnproven()), unproven);
    QCOMPARE(ledger.Numbered(), numbered);
}

QTEST_APPLESS_MAIN(TestTftpCodec)
#include "tst_tftp_codec.moc"
