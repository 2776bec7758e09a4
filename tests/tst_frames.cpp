#include "model/protocol/frames.h"

#include <QTest>

// The frames that only the program builds, byte for byte (the CRC is CRC-16/KERMIT, low byte
// first). The initialisation frame is the simulated terminal's own reference, and how the program
// handles a wrong CRC in a reply is proved against it.
class TestFrames : public QObject
{
    Q_OBJECT

private slots:
    void bytes_data()
    {
        QTest::addColumn<QByteArray>("built");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("query") << frame::shortFrame(frame::kTypeQuery, frame::kQueryPayload)
                               << QByteArray::fromHex("2F40030500FFC36A");
        QTest::newRow("release 1")
            << frame::shortFrame(frame::kTypeControl, frame::kReleaseInitPayload)
            << QByteArray::fromHex("2FC0040014012C5644");
        QTest::newRow("release 2")
            << frame::shortFrame(frame::kTypeQuery, frame::kReleaseQueryPayload)
            << QByteArray::fromHex("2F40030501FC8041");
    }
    void bytes()
    {
        QFETCH(QByteArray, built);
        QFETCH(QByteArray, expected);
        QCOMPARE(built.toHex(' '), expected.toHex(' '));
    }
};

QTEST_GUILESS_MAIN(TestFrames)
#include "tst_frames.moc"
