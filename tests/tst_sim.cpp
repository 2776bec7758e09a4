// The simulated terminal itself: its frame parser, its command line, and vardel-sim running a
// command against a mocked serial device or serving a tty. Run with --probe, this program is
// such a command: a Model opens a session on the first serial port it sees.
#include "childsignal.h"
#include "engine.h"
#include "link/serialport.h"
#include "model/model.h"
#include "model/protocol/frames.h"
#include "model/report/replyrecording.h"
#include "options.h"
#include "parser.h"
#include "ptypeer.h"
#include "replayer.h"
#include "replies.h"
#include "sanitizerreport.h"

#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

const QByteArray kInit = QByteArray::fromHex("2FC004001400C8A4FC");

// Its exit status: 0 once the receiving application answered, 11 to 13 for the failed step.
int probe()
{
    QTemporaryDir dir; // for the Model's log file
    const QList<PortInfo> ports = PortInfo::available();
    if (!QDir::setCurrent(dir.path()) || ports.isEmpty())
        return 11;
    Model model;
    if (!model.getSerialPort()->open(ports.first().label()))
        return 11;
    return !model.initializeTerminal() ? 12 : model.isVardelOnTerminal() ? 0 : 13;
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

    QTemporaryDir reports;
    // A report file that holds these recorded exchanges; returns its path.
    QString report(const QString &exchanges)
    {
        static int count = 0;
        QFile file(reports.filePath("r%1.txt"_q.arg(++count)));
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        file.write(("Rapport\n[réponses du terminal, format 1]\n"_q + exchanges +
                    "[fin des réponses]\n"_q)
                       .toUtf8());
        return file.fileName();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(kChildSignalBlocked && childsignal::takeHere()); // see childsignal.h
    }

    // Bytes that cannot start a frame are dropped, and so is a frame cut short once the line
    // goes quiet, whatever the pieces the bytes arrive in.
    void parserResyncs()
    {
        const QByteArray block = QByteArray::fromHex("06" + QByteArray(58, '0') + "2ac2");
        const QByteArray junk = QByteArray::fromHex("30aaff9945"); // never 01..07 or 2F
        const QByteArray cut = QByteArray::fromHex("040102");      // a block frame cut short
        const QByteArray stream = junk + kInit + junk + block + junk + kInit + cut + kInit;
        const QByteArray frames = kInit.toHex() + ' ' + block.toHex() + ' ' + kInit.toHex() + ' ';
        for (int piece : {1, 7, int(stream.size())}) {
            sim::Parser parser;
            sim::FrameKind kind;
            QByteArray frame, found;
            for (int i = 0; i < stream.size(); i += piece) {
                parser.append(stream.constData() + i, qMin(piece, stream.size() - i));
                while (parser.next(false, false, kind, frame))
                    found += frame.toHex() + ' ';
            }
            QCOMPARE(found, frames); // the last one waits behind the cut frame
            while (parser.next(false, true, kind, frame))
                found += frame.toHex() + ' ';
            QCOMPARE(found, frames + kInit.toHex() + ' ');
            QCOMPARE(parser.garbage(), qint64(3 * junk.size() + cut.size()));
        }
    }

    // The terminal's restart after an acknowledged reboot, as vardel-sim's options set it, on
    // the engine's own clock: it answers for --restart-after (100 ms by default) after its last
    // acknowledged reboot, is deaf for --reboot-silence (1500 ms by default; 0: it never
    // restarts), and from its restart on lists what --apps-after gave for that activation.
    void restart_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("heard"); // "+" answered, "-" not, for each frame of `at`
        QTest::addColumn<QString>("apps");  // the list it answers at the end
        // The frames, at these times (ms): activation 0, reboot 10 (its acknowledgement leaves
        // at once), init 109 and 111, init 1609 and 1611, then the list at 1700.
        const QString was = "MIRANDOL0301,PAIEMENT120400"_q;
        const QString now = "MIRANDOL0301,PAIEMENT120500"_q;
        QTest::newRow("by default") << "--apps-after MIRANDOL:0301,PAIEMENT:120500"_q
                                    << "+++--++"_q << now;
        QTest::newRow("list kept") << QString() << "+++--++"_q << was;
        QTest::newRow("same list") << "--apps-after same --apps-after X"_q << "+++--++"_q << was;
        QTest::newRow("answers a second and a half, then restarts")
            << "--restart-after 1600 --apps-after MIRANDOL:0301,PAIEMENT:120500"_q << "+++++--"_q
            << QString(); // restarting when asked for its list
        QTest::newRow("never restarts")
            << "--reboot-silence 0 --apps-after MIRANDOL:0301,PAIEMENT:120500"_q << "+++++++"_q
            << was;
        QTest::newRow("refused reboot")
            << "--refuse reboot --apps-after MIRANDOL:0301,PAIEMENT:120500"_q << "+++++++"_q << was;
        QTest::newRow("shorter silence") << "--reboot-silence 1000 --apps-after X:1"_q
                                         << "+++-+++"_q << "X1"_q;
    }
    void restart()
    {
        QFETCH(QString, options);
        QFETCH(QString, heard);
        QFETCH(QString, apps);
        sim::Options parsed;
        QString error;
        QVERIFY2(sim::parseOptions((options + " --tty -"_q).split(QLatin1Char(' '), Qt::SkipEmptyParts),
                                   parsed, error),
                 qPrintable(error));
        const auto origin = sim::Engine::Clock::now();
        sim::Engine engine(parsed.behaviour, origin);
        const auto block = [](quint8 code) {
            QByteArray bytes(frame::kBlockSize, '\0');
            bytes[0] = char(code);
            const quint16 crc = frame::crc16(reinterpret_cast<const quint8 *>(bytes.constData()),
                                             frame::kBlockCrcOffset);
            bytes[30] = char(crc & 0xFF);
            bytes[31] = char(crc >> 8);
            return bytes;
        };
        const QList<QPair<int, QByteArray>> frames{
            {0, block(frame::kCmdActivate)}, {10, block(frame::kCmdReboot)}, {109, kInit},
            {111, kInit},                    {1609, kInit},                  {1611, kInit},
            {1700, block(frame::kCmdGetApplications)}};
        std::vector<sim::Engine::Output> out;
        for (const auto &f : frames) {
            out.clear();
            engine.receive(f.second.constData(), int(f.second.size()),
                           origin + std::chrono::milliseconds(f.first), out);
        }
        QString answered;
        for (const sim::Frame &frame : engine.record().frames)
            answered += QLatin1Char(frame.answered ? '+' : '-');
        QCOMPARE(answered, heard); // the list's frame last
        QByteArray records;
        for (const sim::Engine::Output &o : out)
            records += o.bytes;
        QStringList listed;
        for (int at = 0; at + frame::kBlockSize <= records.size(); at += frame::kBlockSize) {
            const QByteArray record = records.mid(at, frame::kBlockSize);
            if (record[1] == 0)
                break;
            listed << QString::fromLatin1(record.mid(2, 28)).section(QChar(0), 0, 0);
        }
        QCOMPARE(listed.join(QLatin1Char(',')), apps);
    }

    // A replayed terminal answers a data block whose exchange the report dropped with the reply
    // most data blocks got, skips recorded requests the program did not send again, and leaves
    // a frame beyond the recording unanswered.
    void replayerStandsIn()
    {
        const auto block = [](quint8 number) {
            QByteArray bytes(frame::kLongBlockSize, '\0');
            bytes[0] = char(frame::kCmdLoad);
            bytes[2] = char(number);
            bytes[3] = 1; // a chunk of one byte
            const quint16 crc = frame::crc16(reinterpret_cast<const quint8 *>(bytes.constData()),
                                             frame::kLongBlockCrcOffset);
            bytes[frame::kLongBlockCrcOffset] = char(crc & 0xFF);
            bytes[frame::kLongBlockCrcOffset + 1] = char(crc >> 8);
            return bytes;
        };
        // Request 1, a data block, was dropped; 4 is a reboot frame the program will not send.
        const QByteArray report = "[réponses du terminal, format 1]\n"
                                  "> 0 frame 2fc004001400c8a4fc\n< 0 +1 2fc0024f4b75bd\n"
                                  "> 2 data 04000201\n< 2 +0 aa\n"
                                  "> 3 data 04000301\n< 3 +0 bb\n< 3 +1 cc\n"
                                  "> 4 frame 06"_q.toUtf8() + QByteArray(58, '0') +
                                  "2ac2\n< 4 +0 01\n"
                                  "> 5 frame 2fc004001400c8a4fc\n< 5 +0 02\n"
                                  "[fin des réponses]\n"_q.toUtf8();
        auto recording = std::make_shared<ReplyRecording>();
        QString error;
        QVERIFY2(ReplyRecording::parse(report, *recording, error), qPrintable(error));
        sim::Replayer replayer(recording);
        QStringList replies;
        const auto send = [&](const QByteArray &frame) {
            std::vector<sim::Responder::Output> out;
            replayer.receive(frame.constData(), frame.size(), sim::Responder::Clock::now(), out);
            QByteArray reply;
            for (const sim::Responder::Output &piece : out)
                reply += piece.bytes;
            replies << QString::fromLatin1(reply.toHex());
        };
        // The init frame, blocks 1 to 3, the init frame again (recorded after the reboot frame),
        // then one frame too many.
        for (const QByteArray &frame : {kInit, block(1), block(2), block(3), kInit, kInit})
            send(frame);
        QCOMPARE(replies, QStringList({"2fc0024f4b75bd"_q, "aa"_q, "aa"_q, "bbcc"_q, "02"_q, ""_q}));
        const QStringList notes = replayer.record().replayNotes;
        QVERIFY2(notes.first().startsWith("6 frames received, 4 as recorded, 0 differing, 1 "
                                          "data blocks answered for dropped exchanges, 1 beyond "
                                          "the 6 recorded requests"_q) &&
                     notes.contains("frame 4: 1 recorded request(s) not sent, from request 4"_q),
                 qPrintable(notes.join("\n"_q)));
    }

    // The command runs against the mocked device, which the terminal serves with the faults
    // asked for; vardel-sim ends with the command's status and says what the terminal heard.
    void mock_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        // QSerialPort locks a port by its name: a device of this process's own keeps the probe
        // clear of the tests that run side by side.
        const QString probe =
            "--device ttyACM%1 %3 -- %2 --probe"_q.arg(QCoreApplication::applicationPid())
                .arg(QCoreApplication::applicationFilePath());
        const QString summary = "frames: init 1, query 1"_q;
        QTest::newRow("session") << probe.arg(QString()) << 0 << summary;
        QTest::newRow("refused app") << probe.arg("--refuse-app"_q) << 13 << summary;
        QTest::newRow("no such command") << "-- /nonexistent/command"_q << 127 << "cannot run"_q;
        QTest::newRow("unknown fault") << "--mute all -- true"_q << 2 << "unknown command: all"_q;

        // Played back from a report: the init and query frames the probe sends, and their
        // replies, as a report records them.
        const QString init = "> 0 frame 2fc004001400c8a4fc\n< 0 +1 2fc0024f4b75bd\n"_q;
        const QString query = "> 1 frame 2f40030500ffc3%1\n< 1 +0 2f40024f4b1b90\n"_q;
        QTest::newRow("replayed")
            << probe.arg("--replay "_q + report(init + query.arg("6a"_q))) << 0
            << "replay: 2 frames received, 2 as recorded, 0 differing"_q;
        QTest::newRow("replayed, a frame differs")
            << probe.arg("--replay "_q + report(init + query.arg("6b"_q))) << 0
            << "replay: frame 1 differs: sent 2f40030500ffc36a, recorded 2f40030500ffc36b "
               "(answered as recorded)"_q;
        QTest::newRow("replayed beyond the recording")
            << probe.arg("--replay "_q + report(init)) << 13
            << "replay: frame 1 (2f40030500ffc36a) and those after it: beyond the recording"_q;
        QTest::newRow("no report") << "--replay /nonexistent/r.txt -- true"_q << 2
                                   << "cannot read /nonexistent/r.txt"_q;
    }
    void mock()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, err);
        QProcess sim;
        sim.start(QStringLiteral(VARDEL_SIM_PATH),
                  ("--mock "_q + arguments).split(QLatin1Char(' '), Qt::SkipEmptyParts));
        QVERIFY(sim.waitForFinished(60000));
        const QByteArray stderrText = sim.readAllStandardError();
        const QString report = sanitizer::reportIn(stderrText);
        QVERIFY2(report.isEmpty(), qPrintable(report));
        QTEST(sim.exitCode(), "status");
        const QString said = QString::fromLocal8Bit(stderrText);
        QVERIFY2(said.contains(err), qPrintable(said));
    }

    // COMMAND starts with the signal dispositions a shell gives it, whatever vardel-sim
    // inherited: here SIGPIPE ignored (as QProcess leaves it in its parent) and SIGINT and
    // SIGHUP blocked. No standard signal is ignored or blocked in COMMAND.
    void commandStartsAsFromShell()
    {
        ::signal(SIGPIPE, SIG_IGN);
        sigset_t blocked;
        sigset_t previous;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGINT);
        sigaddset(&blocked, SIGHUP);
        ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
        QProcess sim;
        sim.start(QStringLiteral(VARDEL_SIM_PATH),
                  {"--mock"_q, "--quiet"_q, "--device"_q,
                   "ttyACM%1"_q.arg(QCoreApplication::applicationPid()), "--"_q, "cat"_q,
                   "/proc/self/status"_q});
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        QVERIFY(sim.waitForFinished(60000));
        const QString report = sanitizer::reportIn(sim.readAllStandardError());
        QVERIFY2(report.isEmpty(), qPrintable(report));
        QCOMPARE(sim.exitCode(), 0);
        const QString status = QString::fromLatin1(sim.readAllStandardOutput());
        const auto mask = [&status](const char *field) {
            const QString hex = QRegularExpression("\\n"_q + QLatin1String(field) +
                                                   ":\\s*([0-9a-f]+)\\n"_q)
                                    .match(status)
                                    .captured(1);
            return hex.isEmpty() ? ~0ULL : hex.toULongLong(nullptr, 16);
        };
        const quint64 standard = 0x7fffffffULL; // signals 1 to 31
        QCOMPARE(mask("SigIgn") & standard, 0ULL);
        QCOMPARE(mask("SigBlk") & standard, 0ULL);
    }

    // --tty serves a pty until it is told to stop.
    void tty()
    {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        QProcess sim;
        sim.start(QStringLiteral(VARDEL_SIM_PATH),
                  {"--tty"_q, QString::fromLocal8Bit(::ptsname(master))});
        sim.setReadChannel(QProcess::StandardError);
        QVERIFY(sim.waitForReadyRead(10000)); // "serving a terminal on ..."
        PtyPeer peer(master);
        QVERIFY(peer.send(kInit));
        QCOMPARE(peer.receive(5, 5000).toHex(), QByteArray("2fc0024f4b"));
        sim.terminate();
        QVERIFY(sim.waitForFinished(10000));
        const QByteArray stderrText = sim.readAllStandardError();
        const QString report = sanitizer::reportIn(stderrText);
        QVERIFY2(report.isEmpty(), qPrintable(report));
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY(stderrText.contains("frames: init 1"));
        ::close(master);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc == 2 && qstrcmp(argv[1], "--probe") == 0)
        return probe();
    TestSim test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sim.moc"
