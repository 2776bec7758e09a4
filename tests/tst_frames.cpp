#include "model/frames.h"
#include "model/model.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

// The CRC as a 24-bit shift register, computed independently of the table-free loop in the
// program: each byte enters at bits 16..23, eight shifts per byte, sixteen more at the end.
quint16 referenceCrc(const QByteArray &data)
{
    quint32 reg = 0;
    auto shift = [&reg] {
        const bool out = reg & 1u;
        reg >>= 1;
        if (out)
            reg ^= 0x8408u;
    };
    for (char c : data) {
        reg |= quint32(quint8(c)) << 16;
        for (int i = 0; i < 8; ++i)
            shift();
    }
    for (int i = 0; i < 16; ++i)
        shift();
    return quint16(reg & 0xFFFF);
}

QByteArray hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

} // namespace

class TestFrames : public QObject
{
    Q_OBJECT

private slots:
    void crcKnownValues()
    {
        const QByteArray check("123456789");
        QCOMPARE(frame::crc16(reinterpret_cast<const quint8 *>(check.constData()), 9),
                 quint16(0x2189));
        QCOMPARE(frame::crc16(nullptr, 0), quint16(0));

        quint8 buffer[11] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0, 0};
        Model::computeCrc(buffer, 9);
        QCOMPARE(buffer[9], quint8(0x89)); // low byte first
        QCOMPARE(buffer[10], quint8(0x21));
    }

    void crcAgreesWithShiftRegister()
    {
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);
        for (int round = 0; round < 500; ++round) {
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
        QTest::newRow("receiving application")
            << frame::shortFrame(frame::kTypeQuery, frame::kQueryPayload)
            << QByteArray::fromHex("2F40030500FFC36A");
        QTest::newRow("release first")
            << frame::shortFrame(frame::kTypeControl, frame::kReleaseInitPayload)
            << QByteArray::fromHex("2FC0040014012C5644");
        QTest::newRow("release second")
            << frame::shortFrame(frame::kTypeQuery, frame::kReleaseQueryPayload)
            << QByteArray::fromHex("2F40030501FC8041");
    }
    void shortFrames()
    {
        QFETCH(QByteArray, built);
        QFETCH(QByteArray, expected);
        QCOMPARE(hex(built), hex(expected));
    }

    void blockRequest()
    {
        auto request = frame::block(frame::kCmdGetHTerminal);
        Model::computeCrc(request.data(), frame::kBlockCrcOffset);
        QByteArray content(30, '\0');
        content[0] = 0x07;
        const quint16 crc = referenceCrc(content);
        QCOMPARE(request[0], quint8(0x07));
        for (int i = 1; i < 30; ++i)
            QCOMPARE(request[i], quint8(0));
        QCOMPARE(request[30], quint8(crc & 0xFF));
        QCOMPARE(request[31], quint8(crc >> 8));
    }

    // A wrong CRC is reported and replaced by the computed one, which the dump then shows.
    void checkCrcLeavesComputedValue()
    {
        auto reply = frame::block(frame::kCmdReboot);
        reply[1] = 0x01;
        reply[2] = 0x54;
        Model::computeCrc(reply.data(), 30);
        const quint8 good0 = reply[30], good1 = reply[31];
        QVERIFY(Model::checkCrc(reply.data(), 30));

        reply[30] = quint8(good0 ^ 0xFF);
        reply[31] = 0x00;
        QVERIFY(!Model::checkCrc(reply.data(), 30));
        QCOMPARE(reply[30], good0);
        QCOMPARE(reply[31], good1);
        QCOMPARE(frame::replyDump(reply.data()),
                 QStringLiteral("6 1 54 %1 %2").arg(good0, 0, 16).arg(good1, 0, 16));
    }

    void replyDumpHasNoPadding()
    {
        std::array<quint8, 32> reply{};
        reply[0] = 0x06;
        reply[1] = 0x01;
        reply[2] = 0x54;
        reply[30] = 0x12;
        reply[31] = 0xAB;
        QCOMPARE(frame::replyDump(reply.data()), QStringLiteral("6 1 54 12 ab"));
        reply.fill(0);
        QCOMPARE(frame::replyDump(reply.data()), QStringLiteral("0 0 0 0 0"));
    }

    // A 128-byte block carries its CRC over bytes 0..125.
    void longBlockCrc()
    {
        std::array<quint8, 128> block{};
        for (int i = 0; i < 126; ++i)
            block[i] = quint8(i * 7);
        Model::computeCrc(block.data(), frame::kLongBlockCrcOffset);
        QVERIFY(Model::checkCrc(block.data(), frame::kLongBlockCrcOffset));
        block[125] ^= 1;
        QVERIFY(!Model::checkCrc(block.data(), frame::kLongBlockCrcOffset));
    }
};

QTEST_GUILESS_MAIN(TestFrames)
#include "tst_frames.moc"
