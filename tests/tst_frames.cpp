#include "model/frames.h"
#include "model/model.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

// The CRC as the 24-bit shift register it is often described as, independent of the program's
// loop: each byte enters at bits 16..23, eight shifts per byte, sixteen more at the end.
quint16 referenceCrc(const QByteArray &data)
{
    quint32 reg = 0;
    const auto shift = [&reg] { reg = (reg & 1u) ? (reg >> 1) ^ 0x8408u : reg >> 1; };
    for (char c : data) {
        reg |= quint32(quint8(c)) << 16;
        for (int i = 0; i < 8; ++i)
            shift();
    }
    for (int i = 0; i < 16; ++i)
        shift();
    return quint16(reg);
}

} // namespace

class TestFrames : public QObject
{
    Q_OBJECT

private slots:
    void crc()
    {
        quint8 check[11] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0, 0};
        Model::computeCrc(check, 9);
        QCOMPARE(check[9], quint8(0x89)); // 0x2189, low byte first
        QCOMPARE(check[10], quint8(0x21));
        QCOMPARE(frame::crc16(nullptr, 0), quint16(0));

        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);
        for (int round = 0; round < 300; ++round) {
            QByteArray data(int(random.bounded(200)), '\0');
            for (char &c : data)
                c = char(random.bounded(256));
            QCOMPARE(frame::crc16(reinterpret_cast<const quint8 *>(data.constData()), data.size()),
                     referenceCrc(data));
        }
    }

    void shortFrames_data()
    {
        QTest::addColumn<QByteArray>("built");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("initialise") << frame::shortFrame(frame::kTypeControl, frame::kInitPayload)
                                    << QByteArray::fromHex("2FC004001400C8A4FC");
        QTest::newRow("query") << frame::shortFrame(frame::kTypeQuery, frame::kQueryPayload)
                               << QByteArray::fromHex("2F40030500FFC36A");
        QTest::newRow("release 1")
            << frame::shortFrame(frame::kTypeControl, frame::kReleaseInitPayload)
            << QByteArray::fromHex("2FC0040014012C5644");
        QTest::newRow("release 2")
            << frame::shortFrame(frame::kTypeQuery, frame::kReleaseQueryPayload)
            << QByteArray::fromHex("2F40030501FC8041");
    }
    void shortFrames()
    {
        QFETCH(QByteArray, built);
        QFETCH(QByteArray, expected);
        QCOMPARE(built.toHex(' '), expected.toHex(' '));
    }

    // A block request is the code, 29 zeros and the CRC; a wrong CRC in a reply is reported
    // and replaced by the computed one, which the dump then shows, unpadded.
    void blocksAndDump()
    {
        auto block = frame::block(frame::kCmdGetHTerminal);
        Model::computeCrc(block.data(), frame::kBlockCrcOffset);
        QByteArray content(30, '\0');
        content[0] = 0x07;
        const quint16 crc = referenceCrc(content);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(block.data()), 32),
                 content + char(crc & 0xFF) + char(crc >> 8));

        auto reply = frame::block(frame::kCmdReboot);
        reply[1] = 0x01;
        reply[2] = 0x54;
        Model::computeCrc(reply.data(), 30);
        const quint8 good[2] = {reply[30], reply[31]};
        QVERIFY(Model::checkCrc(reply.data(), 30));
        reply[30] ^= 0xFF;
        QVERIFY(!Model::checkCrc(reply.data(), 30));
        QVERIFY(reply[30] == good[0] && reply[31] == good[1]);
        reply[30] = 0x12;
        reply[31] = 0xAB;
        QCOMPARE(frame::replyDump(reply.data()), QStringLiteral("6 1 54 12 ab"));
    }
};

QTEST_GUILESS_MAIN(TestFrames)
#include "tst_frames.moc"
