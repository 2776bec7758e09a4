// The simulated terminal itself: its frame parser, its timing and its command line.
#include "engine.h"
#include "model/frames.h"
#include "options.h"
#include "parser.h"
#include "replies.h"
#include "simrig.h"

#include <QRandomGenerator>
#include <QTest>

using sim::Engine;
using sim::FrameKind;
using sim::Parser;

namespace {

const QByteArray kInit = QByteArray::fromHex("2FC004001400C8A4FC");

QByteArray dataBlock(quint16 number, const QByteArray &chunk)
{
    QByteArray block(126, '\0');
    block[0] = 0x04;
    block[1] = char(number >> 8);
    block[2] = char(number & 0xFF);
    block[3] = char(chunk.size());
    block.replace(4, chunk.size(), chunk);
    const quint16 crc = frame::crc16(reinterpret_cast<const quint8 *>(block.constData()), 126);
    block.append(char(crc & 0xFF));
    block.append(char(crc >> 8));
    return block;
}

QByteArray advertisement(const QByteArray &text)
{
    QByteArray block(30, '\0');
    block[0] = 0x02;
    block[1] = char(text.size());
    block.replace(2, text.size(), text);
    const quint16 crc = frame::crc16(reinterpret_cast<const quint8 *>(block.constData()), 30);
    return block + char(crc & 0xFF) + char(crc >> 8);
}

// All frames the parser finds in `bytes`, fed in pieces of `piece` bytes.
QList<QPair<FrameKind, QByteArray>> parse(const QByteArray &bytes, int piece, bool dataMode,
                                          Parser &parser)
{
    QList<QPair<FrameKind, QByteArray>> frames;
    FrameKind kind;
    QByteArray frame;
    for (int i = 0; i < bytes.size(); i += piece) {
        parser.append(bytes.constData() + i, qMin(piece, bytes.size() - i));
        while (parser.next(dataMode, false, kind, frame))
            frames.append({kind, frame});
    }
    while (parser.next(dataMode, true, kind, frame))
        frames.append({kind, frame});
    return frames;
}

// Feeds the engine and returns the replies, with their due time after `start` in ms.
QList<QPair<double, QByteArray>> answers(Engine &engine, const QByteArray &bytes,
                                         Engine::Clock::time_point at)
{
    std::vector<Engine::Output> out;
    engine.receive(bytes.constData(), bytes.size(), at, out);
    QList<QPair<double, QByteArray>> list;
    for (const auto &o : out)
        list.append({std::chrono::duration<double, std::milli>(o.due - at).count(), o.bytes});
    return list;
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    // Garbage that cannot start a frame is dropped byte by byte, whatever the piece sizes.
    void framesBetweenGarbage_data()
    {
        QTest::addColumn<int>("piece");
        QTest::newRow("whole") << 100000;
        QTest::newRow("byte by byte") << 1;
        QTest::newRow("pieces of 7") << 7;
    }
    void framesBetweenGarbage()
    {
        QFETCH(int, piece);
        const QByteArray block = replies::request(0x06);
        QByteArray stream;
        qint64 garbage = 0;
        QRandomGenerator random(11);
        const QList<QByteArray> frames{kInit, block, kInit, block};
        for (const QByteArray &frame : frames) {
            const int n = int(random.bounded(40));
            for (int i = 0; i < n; ++i)
                stream.append(char(0x30 + random.bounded(0xD0))); // never 01..07 or 2F
            garbage += n;
            stream += frame;
        }
        Parser parser;
        const auto found = parse(stream, piece, false, parser);
        QCOMPARE(found.size(), frames.size());
        for (int i = 0; i < frames.size(); ++i)
            QCOMPARE(found[i].second.toHex(), frames[i].toHex());
        QCOMPARE(found[0].first, FrameKind::Short);
        QCOMPARE(found[1].first, FrameKind::Block);
        QCOMPARE(parser.garbage(), garbage);
    }

    // A frame cut short holds the parser until the line goes quiet; then the next is found.
    void staleHeadDropped()
    {
        Parser parser;
        const QByteArray stream = QByteArray::fromHex("040102") + kInit;
        parser.append(stream.constData(), stream.size());
        FrameKind kind;
        QByteArray frame;
        QVERIFY(!parser.next(false, false, kind, frame)); // waiting for 32 bytes
        QVERIFY(parser.next(false, true, kind, frame));
        QCOMPARE(frame.toHex(), kInit.toHex());
        QCOMPARE(parser.garbage(), qint64(3));
    }

    // 128-byte data blocks only while a download runs; the start block (byte 3 = 0) always.
    void dataBlocksOnlyInDownloads()
    {
        const QByteArray data = dataBlock(0, "abc");
        const QByteArray start = replies::request(0x04);
        Parser downloading;
        auto found = parse(data + start, 5, true, downloading);
        QCOMPARE(found.size(), 2);
        QCOMPARE(found[0].first, FrameKind::Data);
        QCOMPARE(found[0].second, data);
        QCOMPARE(found[1].first, FrameKind::Block);
        Parser idle;
        found = parse(data + start, 5, false, idle);
        QCOMPARE(found.size(), 1);
        QCOMPARE(found[0].second, start);
        QCOMPARE(idle.garbage(), qint64(data.size()));
    }

    // Random bytes in random pieces: no crash, and every frame found holds its CRC.
    void randomBytesNeverBreakIt()
    {
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);
        for (int round = 0; round < 40; ++round) {
            QByteArray stream = randomBytes(int(random.bounded(3000)), random.generate());
            stream.insert(int(random.bounded(stream.size() + 1)), kInit);
            Parser parser;
            const auto found =
                parse(stream, 1 + int(random.bounded(200)), random.bounded(2) == 1, parser);
            bool sawInit = false;
            for (const auto &f : found) {
                const auto *p = reinterpret_cast<const quint8 *>(f.second.constData());
                const int covered = f.second.size() - 2;
                const quint16 crc = frame::crc16(p, covered);
                QCOMPARE(quint8(f.second[covered]), quint8(crc & 0xFF));
                QCOMPARE(quint8(f.second[covered + 1]), quint8(crc >> 8));
                sawInit = sawInit || f.second == kInit;
            }
            QVERIFY2(sawInit, qPrintable(QStringLiteral("seed %1 round %2").arg(seed).arg(round)));

            Engine engine{sim::Behaviour()}; // and the engine survives it all
            std::vector<Engine::Output> out;
            engine.receive(stream.constData(), stream.size(), Engine::Clock::now(), out);
            engine.idle(Engine::Clock::now() + std::chrono::seconds(1), out);
        }
    }

    // At 9600 baud a byte takes 10/9600 s each way: a 32-byte request and its 32-byte reply
    // take 66.7 ms; bursts leave 8 bytes at a time.
    void pacingAndBursts()
    {
        sim::Behaviour paced;
        paced.pace9600 = true;
        const auto at = Engine::Clock::now();
        Engine engine(paced, at);
        auto out = answers(engine, replies::request(0x05), at);
        QCOMPARE(out.size(), 1);
        QVERIFY(qAbs(out[0].first - 64 * 10 / 9.6) < 0.01);

        sim::Behaviour bursts;
        bursts.bursts = true;
        bursts.burstGapMs = 20;
        Engine split(bursts, at);
        out = answers(split, replies::request(0x05), at);
        QCOMPARE(out.size(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(out[i].second.size(), 8);
            QVERIFY(qAbs(out[i].first - 20 * i) < 0.01);
        }
    }

    // After an acknowledged reboot the terminal is deaf for a while, and forgets the session.
    void rebootSilence()
    {
        sim::Behaviour b;
        b.rebootSilenceMs = 1000;
        Engine engine(b);
        const auto at = Engine::Clock::now();
        QCOMPARE(answers(engine, advertisement("000003F"), at).size(), 1);
        QCOMPARE(answers(engine, replies::request(0x06), at).size(), 1);
        QCOMPARE(answers(engine, kInit, at + std::chrono::milliseconds(999)).size(), 0);
        QCOMPARE(answers(engine, kInit, at + std::chrono::milliseconds(1001)).size(), 1);
        // The advertisement was forgotten: no authorisation.
        const auto out =
            answers(engine, replies::request(0x03, 0x01), at + std::chrono::seconds(2));
        QCOMPARE(out.first().second.left(3).toHex(), QByteArray("030100"));
        QCOMPARE(engine.record().frames.size(), 5);
        QVERIFY(!engine.record().frames[2].answered);
    }

    // A block whose acknowledgement was lost comes again: acknowledged again, kept once. A
    // block out of sequence stops the download.
    void blockSequence()
    {
        Engine engine{sim::Behaviour()};
        const auto at = Engine::Clock::now();
        answers(engine, advertisement("000244F"), at);
        answers(engine, replies::request(0x03, 0x01), at);
        answers(engine, replies::request(0x04), at);
        const QByteArray first = dataBlock(0, QByteArray(122, 'a'));
        QCOMPARE(answers(engine, first, at).first().second.left(3).toHex(), QByteArray("040155"));
        QCOMPARE(answers(engine, first, at).first().second.left(3).toHex(), QByteArray("040155"));
        QCOMPARE(
            answers(engine, dataBlock(2, QByteArray(122, 'b')), at).first().second.left(3).toHex(),
            QByteArray("040100"));
        QCOMPARE(engine.record().downloads.first().content, QByteArray(122, 'a'));
        QCOMPARE(engine.record().anomalies.size(), 1);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error"); // empty: accepted
        const auto words = [](const char *text) {
            return QString::fromLatin1(text).split(QLatin1Char(' '));
        };
        QTest::newRow("mock") << words("--mock --silent -- sh -c true") << QString();
        QTest::newRow("tty") << words("--pace-9600 --bursts --tty /dev/null") << QString();
        QTest::newRow("nowhere") << words("--silent")
                                 << QStringLiteral("say where to serve the terminal: --tty PATH or "
                                                   "--mock");
        QTest::newRow("mock without command")
            << words("--mock") << QStringLiteral("--mock needs a command after --");
        QTest::newRow("unknown command")
            << words("--mute nothing --tty x") << QStringLiteral("unknown command: nothing");
        QTest::newRow("bad catalogue") << words("--catalogue 12345g --tty x")
                                       << QStringLiteral("--catalogue needs 6 hexadecimal digits");
        QTest::newRow("negative block") << words("--stop-block -1 --tty x")
                                        << QStringLiteral("--stop-block needs a block position");
        QTest::newRow("missing value") << words("--tty") << QStringLiteral("--tty needs a value");
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        sim::Options options;
        QString reason;
        QCOMPARE(sim::parseOptions(arguments, options, reason), error.isEmpty());
        QCOMPARE(reason, error);
    }

    void commandLineBehaviour()
    {
        sim::Options options;
        QString error;
        QVERIFY(sim::parseOptions(
            QString::fromLatin1("--catalogue 0A0b0C --apps ONE:01,TWO --refuse auth --mute hterm "
                                "--damage reboot --nok-block 2 --bad-crc-block 2 --stop-block 0 "
                                "--bad-final-ack --reboot-silence 1500 --mock -- prog --silent")
                .split(QLatin1Char(' ')),
            options, error));
        const sim::Behaviour &b = options.behaviour;
        QCOMPARE(b.record.mid(10, 3).toHex(), QByteArray("0a0b0c"));
        QCOMPARE(b.applications.size(), 2);
        QCOMPARE(b.applications[0].extra, QByteArray("01"));
        QVERIFY(b.refused.count(sim::Command::Authorization));
        QVERIFY(b.muted.count(sim::Command::HTerminal));
        QVERIFY(b.damaged.count(sim::Command::Reboot));
        QCOMPARE(b.blockFaults.value(2),
                 (QList<sim::BlockReply>{sim::BlockReply::Nok, sim::BlockReply::BadCrc}));
        QCOMPARE(b.blockFaults.value(0), QList<sim::BlockReply>{sim::BlockReply::Stop});
        QCOMPARE(b.finalAck, sim::FinalAck::BadCode);
        QCOMPARE(b.rebootSilenceMs, 1500);
        QVERIFY(!b.silent); // the command's own options are its own
        QCOMPARE(options.command,
                 (QStringList{QStringLiteral("prog"), QStringLiteral("--silent")}));
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
