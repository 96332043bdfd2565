// Packet building, image slicing and reading replies, without sockets.

#include "DataRow.h"
#include "LoadData.h"
#include "TftpPacket.h"

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
    void placeholderImage();
    void writeRequest();
    void dataPacketsCoverTheImage();
    void dataPacketBounds();
    void replyOpcode_data();
    void replyOpcode();
};

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
    QTest::addColumn<int>("ack");       // its number; -1: no ACK with a number
    QTest::addColumn<int>("errorCode"); // -1: no ERROR, or none with a code
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("shown"); // the message as the user sees it; empty: as it came
    Row("ack", QByteArray("\x00\x04\x00\x01", 4), 4, 1, -1, QByteArray(), QString());
    Row("ack of block 65535", QByteArray("\x00\x04\xff\xff", 4), 4, 65535, -1, QByteArray(), QString());
    Row("opcode only", QByteArray("\x00\x04", 2), 4, -1, -1, QByteArray(), QString());
    Row("zero", QByteArray(4, '\0'), 0, -1, -1, QByteArray(), QString());
    Row("empty", QByteArray(), 0, -1, -1, QByteArray(), QString());
    Row("one byte zero", QByteArray(1, '\0'), 0, -1, -1, QByteArray(), QString());
    Row("one byte", QByteArray(1, '\x04'), 0, -1, -1, QByteArray(),
        QString()); // not opcode 1024: no opcode at all
    Row("opcode 1024", QByteArray("\x04\x00", 2), 0x400, -1, -1, QByteArray(), QString());
    Row("unknown opcode", QByteArray("\x00\x07\x00\x01", 4), 7, -1, -1, QByteArray(), QString());
    Row("high byte", QByteArray("\xff\xfe", 2), 0xFFFE, -1, -1, QByteArray(), QString());
    // An ERROR's message runs to its zero, or to the datagram's end, and never past 512 bytes.
    Row("error",
        QByteArray("\x00\x05\x00\x03"
                   "Flash full\x00"
                   "junk",
                   19),
        5, -1, 3, QByteArray("Flash full"), QString());
    Row("error without its zero",
        QByteArray("\x00\x05\x01\x00"
                   "abc",
                   7),
        5, -1, 256, QByteArray("abc"), QString());
    Row("error without a message", QByteArray("\x00\x05\x00\x00", 4), 5, -1, 0, QByteArray(), QString());
    Row("error too short for a code", QByteArray("\x00\x05\x00", 3), 5, -1, -1, QByteArray(), QString());
    Row("error with a long message", QByteArray("\x00\x05\x00\x01", 4) + QByteArray(900, 'm'), 5, -1, 1,
        QByteArray(512, 'm'), QString(120, 'm') + "…");
    // Shown: text in UTF-8 as it is; what would act on the text around it, bytes that are no UTF-8
    // and the backslash escaped; cut at 120 characters, never inside a character or an escape.
    const QByteArray Flash("\x00\x05\x00\x03", 4);
    const QString Russian = "Недостаточно места во флэш-памяти";
    Row("error in Russian", Flash + Russian.toUtf8(), 5, -1, 3, Russian.toUtf8(), QString());
    const QByteArray Acting("a\\b\x07\x1b[2J\xe2\x80\xaeKO\xc2\x85");
    Row("error with controls, a bidirectional override and a backslash", Flash + Acting, 5, -1, 3, Acting,
        QString(R"(a\\b\x07\x1b[2J\xe2\x80\xaeKO\xc2\x85)"));
    const QByteArray Broken("\xd0 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xff");
    Row("error with bytes that are no UTF-8", Flash + Broken, 5, -1, 3, Broken,
        QString(R"(\xd0 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xff)"));
    Row("error of 120 characters in Russian", Flash + QString(120, u'П').toUtf8(), 5, -1, 3,
        QString(120, u'П').toUtf8(), QString());
    Row("error cut before a character", Flash + QByteArray(119, 'A') + "ПП", 5, -1, 3,
        QByteArray(119, 'A') + "ПП", QString(119, 'A') + "П…");
    Row("error cut before an escape", Flash + QByteArray(119, 'A') + "\\\\", 5, -1, 3,
        QByteArray(119, 'A') + "\\\\", QString(119, 'A') + "…");
    Row("error cut before an escaped character", Flash + QByteArray(117, 'A') + "\xe2\x80\xae", 5, -1, 3,
        QByteArray(117, 'A') + "\xe2\x80\xae", QString(117, 'A') + "…");
}

void TestTftpCodec::replyOpcode()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, opcode);
    QFETCH(int, ack);
    QFETCH(int, errorCode);
    QFETCH(QByteArray, message);
    QFETCH(QString, shown);
    const std::span<const std::uint8_t> Bytes(reinterpret_cast<const std::uint8_t *>(datagram.constData()),
                                              std::size_t(datagram.size()));
    QCOMPARE(ReplyOpcode(Bytes), opcode);
    QCOMPARE(AckBlock(Bytes).has_value() ? int(*AckBlock(Bytes)) : -1, ack);
    const std::optional<TErrorPacket> Error = ParseError(Bytes);
    QCOMPARE(Error.has_value(), opcode == OpError);
    if (Error) {
        QCOMPARE(Error->Code ? int(*Error->Code) : -1, errorCode);
        QCOMPARE(QByteArray::fromStdString(Error->Message), message);
        QCOMPARE(QString::fromStdString(ShownText(Error->Message, 120)),
                 shown.isEmpty() ? QString::fromUtf8(message) : shown);
    }
}

QTEST_APPLESS_MAIN(TestTftpCodec)
#include "tst_tftp_codec.moc"
