// One file against the simulated terminal: advertisement, authorisation, download.
#include "config/records.h"
#include "link/serialport.h"
#include "replies.h"
#include "sealing.h"
#include "simrig.h"
#include "testseam.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>
#include <QTextCodec>

using sim::Behaviour;
using sim::BlockReply;
using sim::Command;
using sim::FinalAck;

Q_DECLARE_METATYPE(sim::BlockReply)
Q_DECLARE_METATYPE(sim::FinalAck)

namespace {

QByteArray frameOf(const sim::Record &record, Command command, int index = 0)
{
    for (const sim::Frame &frame : record.frames) {
        if (frame.command == command && index-- == 0)
            return frame.bytes;
    }
    return QByteArray();
}

QString loadLine(const char *text, quint8 b0, quint8 b1, quint8 b2)
{
    return QLatin1String(text) + replies::dump(b0, b1, b2);
}

} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT

private:
    // A file advertised and authorised, ready for load().
    static Application *prepared(SimRig &rig, const QString &path)
    {
        Application *file = rig.application(path);
        bool skipped = true;
        if (!rig.open() || !rig.model().sendInfo(file, skipped) || skipped ||
            !rig.model().getAuthorization())
            return nullptr;
        return file;
    }

private slots:
    // The length text and the name, byte for byte, and the size rule on the encoded bytes.
    void advertisement_data()
    {
        QTest::addColumn<QString>("name");    // file name in the working directory
        QTest::addColumn<quint32>("length");  // announced plain length
        QTest::addColumn<QByteArray>("text"); // expected frame text; empty: skipped

        QTest::newRow("short length")
            << QStringLiteral("app.bin") << 1234u << QByteArray("001234APP.BIN");
        QTest::newRow("zero length") << QStringLiteral("a") << 0u << QByteArray("000000A");
        QTest::newRow("six digits") << QStringLiteral("b.x") << 999999u << QByteArray("999999B.X");
        QTest::newRow("seven digits")
            << QStringLiteral("b.x") << 1000000u << QByteArray("1000000;B.X");
        QTest::newRow("largest") << QStringLiteral("b") << 4294967295u
                                 << QByteArray("4294967295;B");
        const QString name22(22, QLatin1Char('n'));
        const QString name20(20, QLatin1Char('m'));
        QTest::newRow("22 characters fit")
            << name22 << 5u << "000005" + name22.toUpper().toLatin1();
        QTest::newRow("23 characters skipped") << name22 + QLatin1Char('n') << 5u << QByteArray();
        QTest::newRow("20 characters, 8-character length")
            << name20 << 1000000u << "1000000;" + name20.toUpper().toLatin1();
        QTest::newRow("21 characters, 8-character length skipped")
            << name20 + QLatin1Char('m') << 9999999u << QByteArray();
        // In UTF-8 each É takes two bytes: 11 of them fit, 12 do not, although 12 + 6 < 28.
        QTest::newRow("encoded bytes fit")
            << QString(11, QChar(0xC9)) << 7u << "000007" + QString(11, QChar(0xC9)).toUtf8();
        QTest::newRow("encoded bytes too long") << QString(12, QChar(0xE9)) << 7u << QByteArray();
    }
    void advertisement()
    {
        QFETCH(QString, name);
        QFETCH(quint32, length);
        QFETCH(QByteArray, text);
        QTextCodec *previous = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
        SimRig rig;
        QVERIFY(rig.ready());
        QVERIFY(rig.open());
        QDir().mkpath(QStringLiteral("sub/dir"));
        const QString path = rig.writeFile(QStringLiteral("sub/dir/") + name,
                                           sealing::sealAnnouncing(QByteArray(16, 'x'), length));
        bool skipped = false;
        const bool ok = rig.model().sendInfo(rig.application(path), skipped);
        QTextCodec::setCodecForLocale(previous);
        QVERIFY(ok);
        QCOMPARE(skipped, text.isEmpty());
        QCOMPARE(rig.log(), QStringList());
        const sim::Record record = rig.record();
        if (text.isEmpty()) {
            QCOMPARE(record.frames.size(), 0); // nothing is sent for a skipped file
            return;
        }
        QByteArray expected(30, '\0');
        expected[0] = 0x02;
        expected[1] = char(text.size());
        expected.replace(2, text.size(), text);
        QCOMPARE(frameOf(record, Command::Info).left(30).toHex(), expected.toHex());
        QCOMPARE(record.advertisements.size(), 1);
        QCOMPARE(record.advertisements.first().length, length);
        QVERIFY(record.advertisements.first().accepted);
        QVERIFY(record.anomalies.isEmpty());
    }

    // Files that cannot be advertised fail before any byte is sent. The terminal's failures
    // are in tst_faultmatrix.
    void advertisementFailures_data()
    {
        QTest::addColumn<QString>("file"); // "missing", "directory", "short"
        QTest::addColumn<QString>("line");
        QTest::newRow("missing file")
            << QStringLiteral("missing") << QStringLiteral("sendInfo Erreur _file.exists");
        QTest::newRow("unreadable")
            << QStringLiteral("directory") << QStringLiteral("sendInfo Erreur _file.open");
        QTest::newRow("shorter than 4 bytes")
            << QStringLiteral("short") << QStringLiteral("sendInfo Erreur _file.size");
    }
    void advertisementFailures()
    {
        QFETCH(QString, file);
        QFETCH(QString, line);
        SimRig rig;
        QVERIFY(rig.ready());
        QVERIFY(rig.open());
        QString path = file;
        if (file == QLatin1String("directory"))
            QVERIFY(QDir().mkpath(path));
        else if (file == QLatin1String("short"))
            path = rig.writeFile(file, QByteArray("\x00\x00\x01", 3));
        bool skipped = true;
        QVERIFY(!rig.model().sendInfo(rig.application(path), skipped));
        QVERIFY(!skipped);
        QCOMPARE(rig.log(), QStringList{line});
        QCOMPARE(rig.record().frames.size(), 0);
    }

    // The same request for every file, 03 01 and zeros.
    void authorization()
    {
        SimRig rig;
        QVERIFY(rig.ready());
        QVERIFY(rig.open());
        bool skipped = true;
        QVERIFY(rig.model().sendInfo(rig.application(rig.writeSealed(QStringLiteral("f"), "x")),
                                     skipped));
        QVERIFY(rig.model().getAuthorization());
        QCOMPARE(rig.log(), QStringList());
        QCOMPARE(frameOf(rig.record(), Command::Authorization).toHex(),
                 replies::request(0x03, 0x01).toHex());
    }

    // Content, block numbers, chunks and progress of whole downloads.
    void download_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<int>>("progress");
        QTest::newRow("empty") << 0 << QList<int>{0};
        QTest::newRow("one byte") << 1 << QList<int>{0, 100};
        QTest::newRow("one full block") << 122 << QList<int>{0, 100};
        QTest::newRow("one byte more") << 123 << QList<int>{0, 99, 100};
        QTest::newRow("two full blocks") << 244 << QList<int>{0, 50, 100};
        QTest::newRow("300 blocks") << 122 * 300 - 5 << QList<int>();
    }
    void download()
    {
        QFETCH(int, size);
        QFETCH(QList<int>, progress);
        SimRig rig;
        QVERIFY(rig.ready());
        const quint32 seed = QRandomGenerator::global()->generate();
        const QByteArray plain = randomBytes(size, seed);
        Application *file = prepared(rig, rig.writeSealed(QStringLiteral("pay.bin"), plain));
        QVERIFY(file);
        ProgressLog steps(rig.model());
        QVERIFY2(rig.model().load(file), qPrintable(QStringLiteral("seed %1").arg(seed)));
        QCOMPARE(rig.log(), QStringList());

        const sim::Record record = rig.record();
        QCOMPARE(frameOf(record, Command::Load).toHex(), replies::request(0x04).toHex());
        QCOMPARE(record.completeDownloads().size(), 1);
        QCOMPARE(record.completeDownloads().first().content, plain);
        QVERIFY2(record.anomalies.isEmpty(), qPrintable(record.anomalies.join(QLatin1Char('\n'))));
        const int blocks = (size + 121) / 122;
        QCOMPARE(record.blockNumbers.size(), blocks);
        for (int i = 0; i < blocks; ++i)
            QCOMPARE(int(record.blockNumbers[i]), i);
        if (blocks >= 257) // the 257th block carries 01 00
            QCOMPARE(frameOf(record, Command::Data, 256).mid(1, 2).toHex(), QByteArray("0100"));
        if (size % 122) { // the last block: its chunk, then zeros up to the CRC
            const QByteArray last = frameOf(record, Command::Data, blocks - 1);
            QCOMPARE(int(quint8(last[3])), size % 122);
            QCOMPARE(last.mid(4 + size % 122, 122 - size % 122), QByteArray(122 - size % 122, 0));
        }
        if (!progress.isEmpty()) {
            QList<int> values;
            for (const auto &step : steps.module()) {
                QCOMPARE(step.first, QStringLiteral("Téléchargement du fichier : PAY.BIN"));
                values << step.second;
            }
            QCOMPARE(values, progress);
        }
    }

    // The 16-bit block number wraps: the 65537th block is numbered 00 00 again.
    void blockNumberWraps()
    {
        SimRig rig;
        QVERIFY(rig.ready());
        const int blocks = 65537;
        QByteArray plain(blocks * 122, '\0');
        for (int i = 0; i < blocks; ++i) // each block starts with its position
            plain.replace(i * 122, 4, QByteArray::number(i, 16).rightJustified(4, '0').right(4));
        Application *file = prepared(rig, rig.writeSealed(QStringLiteral("big"), plain));
        QVERIFY(file);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(rig.model().load(file));
        qInfo("%d blocks in %lld ms", blocks, timer.elapsed());
        const sim::Record record = rig.record();
        QVERIFY(record.anomalies.isEmpty());
        QCOMPARE(record.blockNumbers.size(), blocks);
        QCOMPARE(int(record.blockNumbers[65535]), 65535);
        QCOMPARE(int(record.blockNumbers[65536]), 0);
        QVERIFY(record.completeDownloads().first().content == plain);
    }

    // Replies to the second data block (position 1) of a 3-block file, in order of arrival.
    void resends_data()
    {
        QTest::addColumn<QList<BlockReply>>("faults");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<int>("sent"); // times the second block went out
        const QString nok = QStringLiteral("load Warning ACK_NOK");
        const QString crcWarning = loadLine("load Warning checkCrc", 4, 1, 0x55);
        const QString crcError = loadLine("load Erreur checkCrc", 4, 1, 0x55);
        const QString buffWarning = loadLine("load Warning _buff", 4, 0, 0x55);
        const QString buffError = loadLine("load Erreur _buff", 4, 0, 0x55);
        using L = QList<BlockReply>;
        QTest::newRow("three ACK_NOK") << L{BlockReply::Nok, BlockReply::Nok, BlockReply::Nok}
                                       << true << QStringList{nok, nok, nok} << 4;
        QTest::newRow("damaged once")
            << L{BlockReply::BadCrc} << true << QStringList{crcWarning} << 2;
        QTest::newRow("damaged twice") << L{BlockReply::BadCrc, BlockReply::BadCrc} << false
                                       << QStringList{crcWarning, crcError} << 2;
        QTest::newRow("ACK_NOK then damaged")
            << L{BlockReply::Nok, BlockReply::BadCrc} << false << QStringList{nok, crcError} << 2;
        QTest::newRow("bad header once")
            << L{BlockReply::BadHeader} << true << QStringList{buffWarning} << 2;
        QTest::newRow("bad header twice") << L{BlockReply::BadHeader, BlockReply::BadHeader}
                                          << false << QStringList{buffWarning, buffError} << 2;
        QTest::newRow("damaged, then ACK_NOK twice")
            << L{BlockReply::BadCrc, BlockReply::Nok, BlockReply::Nok} << true
            << QStringList{crcWarning, nok, nok} << 4;
        QTest::newRow("ACK_STOP") << L{BlockReply::Stop} << false
                                  << QStringList{QStringLiteral("load Erreur ACK_STOP")} << 1;
        QTest::newRow("no answer")
            << L{BlockReply::Mute} << false << QStringList{QStringLiteral("load Erreur read")} << 1;
    }
    void resends()
    {
        QFETCH(QList<BlockReply>, faults);
        QFETCH(bool, expected);
        QFETCH(QStringList, log);
        QFETCH(int, sent);
        Behaviour behaviour;
        behaviour.blockFaults[1] = faults;
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        const QByteArray plain = randomBytes(300, 7);
        Application *file = prepared(rig, rig.writeSealed(QStringLiteral("f"), plain));
        QVERIFY(file);
        QCOMPARE(rig.model().load(file), expected);
        QCOMPARE(rig.log(), log);
        const sim::Record record = rig.record();
        QCOMPARE(record.blockNumbers.count(1), sent);
        QCOMPARE(record.completeDownloads().size(), expected ? 1 : 0);
        if (expected)
            QCOMPARE(record.completeDownloads().first().content, plain);
        QCOMPARE(record.blockNumbers.count(2), expected ? 1 : 0);
        // A resent block is the same block, byte for byte.
        for (int i = 1; i < sent; ++i)
            QCOMPARE(frameOf(record, Command::Data, 1 + i), frameOf(record, Command::Data, 1));
    }

    // The port goes away between two data blocks: the next write fails.
    void portLostDuringBlocks()
    {
        SimRig rig;
        QVERIFY(rig.ready());
        Application *file =
            prepared(rig, rig.writeSealed(QStringLiteral("f"), randomBytes(300, 5)));
        QVERIFY(file);
        QObject context;
        connect(
            &rig.model(), &Model::setModuleProgression, &context,
            [&rig](const QString &, int value) {
                if (value > 0)
                    rig.port().close();
            },
            Qt::DirectConnection);
        QVERIFY(!rig.model().load(file));
        QCOMPARE(rig.log(), QStringList{QStringLiteral("load Erreur write")});
        QCOMPARE(rig.record().blockNumbers, QList<quint16>{0});
    }

    // 200 ms (shortened) before the start block and before every resend: four waits here.
    void waitsBeforeStartAndResends()
    {
        Behaviour behaviour;
        behaviour.blockFaults[0] = {BlockReply::BadCrc, BlockReply::Nok};
        behaviour.blockFaults[1] = {BlockReply::Nok};
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        Application *file =
            prepared(rig, rig.writeSealed(QStringLiteral("f"), randomBytes(200, 1)));
        QVERIFY(file);
        Model::Timing timing = SimRig::fastTiming();
        timing.requestDelayMs = 80;
        TestSeam::setTiming(rig.model(), timing);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(rig.model().load(file));
        QVERIFY(timer.elapsed() >= 4 * 80);
    }

    void finalAcknowledgement_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<FinalAck>("final");
        QTest::addColumn<bool>("atOnce"); // right behind the last block's reply
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QStringList>("log");
        QTest::newRow("none") << 200 << FinalAck::None << false << false
                              << QStringList{QStringLiteral("load Erreur readWithTimeout")};
        QTest::newRow("refused") << 200 << FinalAck::BadCode << false << false
                                 << QStringList{loadLine("load Erreur _buff", 4, 1, 0)};
        QTest::newRow("damaged but 04 01 55")
            << 200 << FinalAck::BadCrc << false << true
            << QStringList{loadLine("load Warning checkCrc", 4, 1, 0x55)};
        QTest::newRow("already waiting") << 200 << FinalAck::Ok << true << true << QStringList();
        QTest::newRow("empty file, already waiting")
            << 0 << FinalAck::Ok << true << true << QStringList();
        QTest::newRow("empty file, none")
            << 0 << FinalAck::None << false << false
            << QStringList{QStringLiteral("load Erreur readWithTimeout")};
    }
    void finalAcknowledgement()
    {
        QFETCH(int, size);
        QFETCH(FinalAck, final);
        QFETCH(bool, atOnce);
        QFETCH(bool, expected);
        QFETCH(QStringList, log);
        Behaviour behaviour;
        behaviour.finalAck = final;
        behaviour.finalAckWithLastReply = atOnce;
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        Application *file =
            prepared(rig, rig.writeSealed(QStringLiteral("f"), randomBytes(size, 3)));
        QVERIFY(file);
        QCOMPARE(rig.model().load(file), expected);
        QCOMPARE(rig.log(), log);
        QCOMPARE(rig.record().completeDownloads().size(), 1); // the terminal had it all
    }

    // Files that cannot feed a download, found once the start block is accepted. The
    // terminal's failures are in tst_faultmatrix.
    void fileFailures_data()
    {
        QTest::addColumn<QByteArray>("content"); // of the file once advertised; empty: removed
        QTest::addColumn<QString>("line");
        const QByteArray good = sealing::seal("content");
        QTest::newRow("file gone") << QByteArray() << QStringLiteral("load Erreur _file.open");
        QTest::newRow("3 bytes") << QByteArray("\0\0\1", 3)
                                 << QStringLiteral("load Erreur _file.size");
        QTest::newRow("not whole blocks")
            << good.left(good.size() - 1) << QStringLiteral("load Erreur _file.size");
        QTest::newRow("length beyond content") << sealing::sealAnnouncing(QByteArray(16, 'a'), 17)
                                               << QStringLiteral("load Erreur _file.length");
    }
    void fileFailures()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, line);
        SimRig rig;
        QVERIFY(rig.ready());
        const QString path = rig.writeSealed(QStringLiteral("f"), "content");
        Application *file = prepared(rig, path);
        QVERIFY(file);
        if (content.isEmpty())
            QVERIFY(QFile::remove(path));
        else
            rig.writeFile(QStringLiteral("f"), content);
        QVERIFY(!rig.model().load(file));
        QCOMPARE(rig.log(), QStringList{line});
        QCOMPARE(rig.record().count(Command::Load), 1); // after the start block
        QCOMPARE(rig.record().blockNumbers.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
