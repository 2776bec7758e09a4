// The replies recorded for a report, as vardel-sim --replay reads them back: what is kept when
// there are too many, and what is refused.
#include "model/report/replyrecording.h"

#include "replies.h"

#include <QTest>

class TestReplyRecording : public QObject
{
    Q_OBJECT

private slots:
    // A report keeps at most so many exchanges: the oldest data blocks go first, then the oldest
    // of the others, and both are counted; what it keeps reads back the same.
    void recordingLimits_data()
    {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<int>("droppedData");
        QTest::addColumn<int>("droppedOther");
        QTest::addColumn<QList<int>>("kept");
        // The requests: 0 init, 1..5 data blocks, 6 reboot.
        QTest::newRow("room for all") << 10 << 0 << 0 << QList<int>{0, 1, 2, 3, 4, 5, 6};
        QTest::newRow("three blocks dropped") << 4 << 3 << 0 << QList<int>{0, 4, 5, 6};
        QTest::newRow("every block, then the oldest frame") << 1 << 5 << 1 << QList<int>{6};
    }
    void recordingLimits()
    {
        QFETCH(int, capacity);
        QFETCH(int, droppedData);
        QFETCH(int, droppedOther);
        QFETCH(QList<int>, kept);
        ReplyRecording recording(capacity);
        QByteArray block(128, '\x5a'); // a data block: code 04, number 00 01, a chunk of 124
        block[0] = 0x04;
        block[1] = 0x00;
        block[2] = 0x01;
        block[3] = 124;
        const QByteArray init = QByteArray::fromHex("2fc004001400c8a4fc");
        const QByteArray reboot = QByteArray(1, '\x06') + QByteArray(31, '\0');
        const auto exchange = [&recording](const QByteArray &request, qint32 delay) {
            recording.sent(reinterpret_cast<const quint8 *>(request.constData()), request.size());
            recording.received(delay, "\x04\x01", 2);
            recording.received(delay + 1, "\x00", 1);
        };
        exchange(init, 3);
        for (int n = 1; n <= 5; ++n)
            exchange(block, n);
        exchange(reboot, 9);
        QCOMPARE(recording.requests(), 7);
        QCOMPARE(recording.droppedData(), droppedData);
        QCOMPARE(recording.droppedOther(), droppedOther);
        QList<int> indices;
        for (const ReplyRecording::Exchange &e : recording.exchanges()) {
            indices << e.index;
            QCOMPARE(e.request.size(), e.data ? 4 : e.index == 0 ? init.size() : 32);
            QCOMPARE(e.reply.size(), 2);
            QCOMPARE(e.reply.at(1).delayMs, e.reply.at(0).delayMs + 1);
        }
        QCOMPARE(indices, kept);
        QVERIFY(!recording.lines().join("\n"_q).contains("5a5a"_q));

        ReplyRecording read;
        QString error;
        QVERIFY2(ReplyRecording::parse(("report\n"_q + recording.lines().join("\n"_q)).toUtf8(),
                                       read, error),
                 qPrintable(error));
        QCOMPARE(read.lines(), recording.lines());
    }

    // What is not a recording of this program is refused with a line number, never half read.
    void recordingRefused_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("error");
        const QString begin = ReplyRecording::kBeginMarker + "\n"_q;
        const QString end = ReplyRecording::kEndMarker + "\n"_q;
        QTest::newRow("no section") << "Rapport\n"_q << "the report holds no recorded replies"_q;
        QTest::newRow("cut short") << begin + "> 0 frame 0700"_q << "cut short"_q;
        QTest::newRow("reply first") << begin + "< 0 +3 0401\n"_q + end << "line 2 "_q;
        QTest::newRow("odd hex") << begin + "> 0 frame 070\n"_q + end << "line 2 "_q;
        QTest::newRow("data block whole") << begin + "> 0 data 04000105aa\n"_q + end << "line 2 "_q;
        QTest::newRow("out of order")
            << begin + "> 3 frame 07\n> 2 frame 07\n"_q + end << "line 3 "_q;
        QTest::newRow("negative delay")
            << begin + "> 0 frame 07\n< 0 +-1 04\n"_q + end << "line 3 "_q;
        QTest::newRow("too long a reply")
            << begin + "> 0 frame 07\n< 0 +1 "_q + QString(2 * 4097, QLatin1Char('a')) + "\n"_q + end
            << "line 3 "_q;
    }
    void recordingRefused()
    {
        QFETCH(QString, body);
        QFETCH(QString, error);
        ReplyRecording read;
        QString why;
        QVERIFY(!ReplyRecording::parse(body.toUtf8(), read, why));
        QVERIFY2(why.contains(error), qPrintable(why));
    }

};

QTEST_GUILESS_MAIN(TestReplyRecording)
#include "tst_replyrecording.moc"
