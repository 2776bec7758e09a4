// The terminal commands against the simulated terminal: every command against the faults the
// terminal can inject (the result and the exact log lines, nothing the terminal takes for a
// protocol breach, then the port closes and the terminal can still be reached), and what the
// commands send and keep: the release sweep, the terminal's record and application list, the
// advertisement text, whole downloads and the fixed waits.
#include "mockbed.h"
#include "model/protocol/frames.h"
#include "ptypeer.h"
#include "replies.h"
#include "sealing.h"
#include "simrig.h"
#include "model/model.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <QTextCodec>
#include <QThread>

#include <algorithm>
#include <functional>
#include <future>
#include <tuple>

namespace {

// The bytes of the file on disk when the package check reads it; these stand for a missing
// file, a directory in its place, and a file removed once it was read.
const QByteArray kGone("gone"), kDirectory("directory"), kRemovedOnceRead("removed");
// Replies in pieces far enough apart for a single-shot read to see the first one only (a real
// line, every command in turn, is tst_install's).
const QString kPieces = "--bursts --burst-gap 60"_q;

// `faults`: the simulator's option words, or "port closed" (on the host's side), or what is
// wrong with the file.
void row(const QString &command, const QString &faults, bool ok, const QStringList &log,
         int sent = -1, const QByteArray &file = {})
{
    QTest::newRow(qPrintable(command + ": "_q + (faults.isEmpty() ? "accepted"_q : faults)))
        << command << faults << ok << log << sent << file;
}

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:
    void matrix_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("faults");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<int>("sent"); // times the second data block went out; -1: any
        QTest::addColumn<QByteArray>("file");

        // What every command meets. Refusals and damage of the acknowledged commands: the
        // _buff or checkCrc line with the reply dump (bytes 0 to 2, then the computed CRC).
        const std::tuple<const char *, const char *, quint8, quint8, const char *> each[] = {
            // command, in the simulator's words, code and result of an acknowledged block command,
            // the line of a missing reply
            {"initializeTerminal", "init", 0, 0, "readWithTimeout"},
            {"isVardelOnTerminal", "query", 0, 0, "readWithTimeout"},
            {"getHTerminal", "hterm", 0, 0, "readWithTimeout"},
            {"getApplications", "apps", 0, 0, "readWithTimeout"},
            {"sendInfo", "info", 2, 0x55, "read"},
            {"getAuthorization", "auth", 3, 0x01, "read"},
            {"load", "load", 4, 0x55, "read"},
            {"activateApplications", "activate", 5, 0x55, "readWithTimeout"},
            {"rebootTerminal", "reboot", 6, 0x55, "readWithTimeout"},
        };
        for (const auto &[command, simName, code, result, read] : each) {
            const QString c = QString::fromLatin1(command), sim = QString::fromLatin1(simName);
            const QString prefix = c + " Erreur "_q;
            const auto failed = [&](const QString &word) { // three attempts to initialise
                const QString line = prefix + word, attempts = prefix + "tentatives"_q;
                return c == "initializeTerminal"_q ? QStringList{line, line, line, attempts}
                                                   : QStringList{line};
            };
            row(c, QString(), true, {});
            row(c, "port closed"_q, false, failed("write"_q));
            row(c, "--mute "_q + sim, false, failed(QString::fromLatin1(read)));
            row(c, kPieces, true, {});
            if (code == 0)
                continue;
            row(c, "--refuse "_q + sim, false, {prefix + "_buff"_q + ackDump(code, 1, 0)});
            row(c, "--damage "_q + sim, false, {prefix + "checkCrc"_q + ackDump(code, 1, result)});
            row(c, "--unaccept "_q + sim, false, {prefix + "_buff"_q + ackDump(code, 0, result)});
        }
        const QString init = "initializeTerminal"_q, query = "isVardelOnTerminal"_q;
        row(init, "--refuse init"_q, true, {}); // any answer counts
        row(init, "--bursts --burst-size 1 --burst-gap 60"_q, true, {});
        row(query, "--refuse-app"_q, false, {"isVardelOnTerminal Erreur _buff"_q});
        row(query, "--damage query"_q, true, {});                          // its CRC is not checked
        row(query, "--bursts --burst-size 3 --burst-gap 300"_q, true, {}); // gathered whole

        // The 128-byte record, whole in one byte at a time, or checkCrc. Zeros behind a 32-byte
        // refusal would pass a CRC check over 126 bytes.
        const QStringList hterm{"getHTerminal Erreur checkCrc"_q};
        row("getHTerminal"_q, "--pace-9600 --piece 1"_q, true, {});
        row("getHTerminal"_q, "--damage hterm"_q, false, hterm);
        row("getHTerminal"_q, "--refuse hterm"_q, false, hterm);
        row("getApplications"_q, "--damage apps"_q, false, {"getApplications Erreur checkCrc"_q});

        // Files that cannot be advertised or downloaded: nothing more is sent.
        const QByteArray sealed = sealing::seal(randomBytes(300, 9));
        const QString info = "sendInfo"_q, load = "load"_q;
        row(info, "file gone"_q, false, {"sendInfo Erreur _file.exists"_q}, -1, kGone);
        row(info, "directory"_q, false, {"sendInfo Erreur _file.open"_q}, -1, kDirectory);
        row(info, "3 bytes"_q, false, {"sendInfo Erreur _file.size"_q}, -1, QByteArray(3, '\1'));
        // What was read is sent: the file is never read again.
        row(load, "file removed once read"_q, true, {}, -1, kRemovedOnceRead);
        row(load, "not whole cipher blocks"_q, false, {"load Erreur _file.size"_q}, -1,
            sealed.chopped(1));
        row(load, "plain length beyond content"_q, false, {"load Erreur _file.length"_q}, -1,
            sealing::sealAnnouncing(QByteArray(16, 'a'), 17));

        // Resends of the second block: ACK_NOK any number of times, a garbled reply once.
        const QString nok = "load Warning ACK_NOK"_q, header = ackDump(4, 0, 0x55);
        const QString crcWarning = "load Warning checkCrc"_q + ackDump(4, 1, 0x55);
        const QString crcError = "load Erreur checkCrc"_q + ackDump(4, 1, 0x55);
        const QString buffWarning = "load Warning _buff"_q + header;
        row(load, "--nok-block 1 --nok-block 1 --nok-block 1"_q, true, {nok, nok, nok}, 4);
        row(load, "--bad-crc-block 1"_q, true, {crcWarning}, 2);
        row(load, "--bad-crc-block 1 --bad-crc-block 1"_q, false, {crcWarning, crcError}, 2);
        row(load, "--nok-block 1 --bad-crc-block 1"_q, false, {nok, crcError}, 2);
        row(load, "--bad-header-block 1"_q, true, {buffWarning}, 2);
        row(load, "--bad-header-block 1 --bad-header-block 1"_q, false,
            {buffWarning, "load Erreur _buff"_q + header}, 2);
        row(load, "--stop-block 1"_q, false, {"load Erreur ACK_STOP"_q}, 1);
        row(load, "--mute-block 1"_q, false, {"load Erreur read"_q}, 1);
        row(load, "--late-block 1"_q, false, {"load Erreur read"_q}, 1);
        // ACK_NOK forever: sixteen resends, then the download gives up.
        row(load, "--nok-forever"_q, false,
            QVector<QString>(16, nok).toList()
                << "load Erreur ACK_NOK : bloc 0 refusé après 16 renvois"_q,
            0);

        // The final acknowledgement: a wrong CRC alone is forgiven.
        row(load, "--no-final-ack"_q, false, {"load Erreur readWithTimeout"_q});
        row(load, "--bad-final-ack"_q, false, {"load Erreur _buff"_q + ackDump(4, 1, 0)});
        row(load, "--bad-final-ack-crc"_q, true, {crcWarning});
    }
    void matrix()
    {
        QFETCH(QString, command);
        QFETCH(QString, faults);
        QFETCH(bool, ok);
        QFETCH(QStringList, log);
        QFETCH(int, sent);
        QFETCH(QByteArray, file);
        const bool closed = faults == "port closed"_q;
        sim::Behaviour behaviour =
            closed || !file.isNull() ? sim::Behaviour() : behaviourOf(faults);
        behaviour.setCatalogue(0x65, 0x43, 0x21);

        SimRig rig;
        QVERIFY(rig.ready() && rig.open());
        const QByteArray plain = randomBytes(300, 9); // three data blocks
        Application app(rig.writeFile("matrix.bin"_q, sealing::seal(plain)));
        if (file == kGone || file == kDirectory)
            QVERIFY(QFile::remove(app.path) && (file == kGone || QDir().mkpath(app.path)));
        else if (!file.isNull() && file != kRemovedOnceRead)
            rig.writeFile("matrix.bin"_q, file);
        SimRig::readContent(app);
        QVERIFY(file != kRemovedOnceRead || QFile::remove(app.path));
        Model &m = rig.model();
        const QHash<QString, std::function<bool()>> run = {
            {"initializeTerminal"_q, [&] { return m.initializeTerminal(); }},
            {"isVardelOnTerminal"_q, [&] { return m.isVardelOnTerminal(); }},
            {"getHTerminal"_q, [&] { return m.getHTerminal(); }},
            {"getApplications"_q, [&] { return m.getApplications(); }},
            {"sendInfo"_q, [&] { return m.sendInfo(&app); }},
            {"getAuthorization"_q, [&] { return m.getAuthorization(); }},
            {"load"_q, [&] { return m.load(&app); }},
            {"activateApplications"_q, [&] { return m.activateApplications(1); }},
            {"rebootTerminal"_q, [&] { return m.rebootTerminal(); }},
        };
        const bool download = command == "load"_q;
        if (download || command == "getAuthorization"_q)
            QVERIFY(m.sendInfo(&app) && (!download || m.getAuthorization()));
        rig.terminal().setBehaviour(behaviour);
        QVERIFY(!closed || rig.port().close());
        const int before = rig.log().size();

        QCOMPARE(run.value(command)(), ok);
        QCOMPARE(rig.log().mid(before), log);
        const sim::Record record = rig.record();
        QVERIFY2(record.anomalies.isEmpty(), qPrintable(record.anomalies.join(" "_q)));
        if (sent >= 0)
            QCOMPARE(record.blockNumbers.count(1), sent);
        if (download && ok)
            QCOMPARE(record.completeDownloads().first().content, plain);
        if (!file.isNull() && !ok) // the advertisement, authorisation and start of a download
            QCOMPARE(record.frames.size(), download ? 3 : 0);
        const auto &stored = m.getTerminalRecord(); // whole but its CRC, and only when valid
        if (command == "getHTerminal"_q)
            QCOMPARE(std::equal(stored.begin(), stored.end(), behaviour.record.constData()), ok);

        // The port closes, and the terminal answers again once its faults are gone.
        QVERIFY(rig.port().close());
        rig.terminal().setBehaviour(sim::Behaviour());
        // A late reply may hold the line a while, and a terminal told to reboot restarts (a
        // second and a half of silence): it is tried again for a few seconds.
        QVERIFY(rig.open());
        QTRY_VERIFY_WITH_TIMEOUT(m.initializeTerminal(), 6000);
    }

    // Both release frames to every found terminal, each after an open; the port ends closed.
    void releaseSweep_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<int>("labels");
        QTest::addColumn<QStringList>("frames");
        const QString first = "2fc0040014012c5644"_q, second = "2f40030501fc8041"_q;
        QTest::newRow("same terminal twice")
            << QString() << 2 << QStringList{first, second, first, second};
        QTest::newRow("no answer: no second frame")
            << "--mute release"_q << 1 << QStringList{first};
    }
    void releaseSweep()
    {
        QFETCH(QString, faults);
        QFETCH(int, labels);
        SimRig rig(behaviourOf(faults));
        QVERIFY(rig.ready() && rig.open());
        rig.port().setFoundPorts(QVector<QString>(labels, rig.label()).toList(), 0);
        rig.model().releaseTerminals();
        QVERIFY(!rig.port().isOpen() && rig.port().getPortLabel().isEmpty());
        QCOMPARE(rig.log(), QStringList());
        QStringList received;
        for (const sim::Frame &frame : rig.record().frames)
            received << QString::fromLatin1(frame.bytes.toHex());
        QTEST(received, "frames");
    }

    // The terminal's catalogue code (record bytes 10 to 12) against bytes 8 to 10 of each
    // accepted hardware configuration (none at all: tst_install).
    void coherency_data()
    {
        QTest::addColumn<QStringList>("accepted");
        QTest::addColumn<bool>("expected");
        QTest::newRow("only the second matches") << QStringList{"123457"_q, "123456"_q} << true;
        QTest::newRow("first byte differs") << QStringList{"133456"_q} << false;
        QTest::newRow("second byte differs") << QStringList{"123556"_q} << false;
        QTest::newRow("third byte differs") << QStringList{"123455"_q} << false;
    }
    void coherency()
    {
        QFETCH(QStringList, accepted);
        QFETCH(bool, expected);
        SimRig rig(behaviourOf("--catalogue 123456"_q));
        QVERIFY(rig.ready() && rig.open() && rig.model().getHTerminal());
        for (const QString &code : accepted) { // each a terminal of that code
            rig.terminal().setBehaviour(behaviourOf("--catalogue "_q + code));
            rig.acceptTerminal();
        }
        QCOMPARE(rig.model().checkHTerminalCoherency(), expected);
        const QString line = "checkHTerminalCoherency Erreur code catalogue"_q;
        QCOMPARE(rig.log(), expected ? QStringList() : QStringList{line});
    }

    // Each entry: the name and at most six more characters, never beyond byte 29, up to the
    // first zero. A damaged record ends the list; the entries before it stay.
    void applicationList_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("end at once") << "--refuse apps"_q << QStringList();
        QTest::newRow("six at most") << "--apps ABCDE:12345678"_q << QStringList{"ABCDE123456"_q};
        QTest::newRow("never beyond byte 29")
            << "--apps "_q + QString(25, QLatin1Char('L')) + ":123456"_q
            << QStringList{QString(25, QLatin1Char('L')) + "123"_q};
        QTest::newRow("Latin-1") << "--apps CAFÉ:01,EMV"_q << QStringList{"CAFÉ01"_q, "EMV"_q};
        QTest::newRow("damaged") << "--apps EMV,X:9 --damage apps"_q << QStringList{"EMV"_q};
    }
    void applicationList()
    {
        QFETCH(QString, faults);
        SimRig rig(behaviourOf(faults));
        QVERIFY(rig.ready() && rig.open());
        QCOMPARE(rig.model().getApplications(), !faults.contains("--damage"_q));
        QTEST(rig.model().getApplicationList(), "expected");
    }

    // What tells a terminal back from its reboot: a whole short frame of the initialisation's
    // type whose CRC holds, however many pieces it comes in. Nothing at all is silence; a
    // stray byte, a frame cut short, one of another type, one too long for the reply's buffer
    // or a damaged one does not count. Played by hand on the terminal's end of the line.
    void initialisationAnswer_data()
    {
        QTest::addColumn<QStringList>("pieces"); // hex, 60 ms apart
        QTest::addColumn<int>("answer");         // Model::InitAnswer
        const auto framed = [](const QByteArray &hex) {
            const QByteArray bytes = QByteArray::fromHex(hex);
            const quint16 crc =
                frame::crc16(reinterpret_cast<const quint8 *>(bytes.constData()), bytes.size());
            return QString::fromLatin1(bytes.toHex() + QByteArray(1, char(crc & 0xFF)).toHex() +
                                       QByteArray(1, char(crc >> 8)).toHex());
        };
        using A = Model::InitAnswer;
        const QString ok = framed("2fc0024f4b");
        QTest::newRow("nothing") << QStringList() << int(A::None);
        QTest::newRow("a stray byte") << QStringList{"00"_q} << int(A::Garbled);
        QTest::newRow("a stray marker") << QStringList{"2f"_q} << int(A::Garbled);
        QTest::newRow("header only") << QStringList{"2fc002"_q} << int(A::Garbled);
        QTest::newRow("cut before its CRC") << QStringList{ok.left(10)} << int(A::Garbled);
        QTest::newRow("valid") << QStringList{ok} << int(A::Valid);
        QTest::newRow("valid, in three pieces")
            << QStringList{ok.left(2), ok.mid(2, 6), ok.mid(8)} << int(A::Valid);
        QTest::newRow("no payload") << QStringList{framed("2fc000")} << int(A::Valid);
        QTest::newRow("damaged CRC") << QStringList{ok.left(12) + "00"_q} << int(A::Garbled);
        QTest::newRow("the query's type") << QStringList{framed("2f40024f4b")} << int(A::Garbled);
        QTest::newRow("longer than its buffer")
            << QStringList{framed("2fc00c" + QByteArray(24, '0'))} << int(A::Garbled);
    }
    void initialisationAnswer()
    {
        QFETCH(QStringList, pieces);
        QFETCH(int, answer);
        const std::string device = "ttyIA" + std::to_string(QCoreApplication::applicationPid());
        mockbed::Testbed bed;
        QVERIFY(bed.add(mockbed::Device{device, "Tarvenix", "Terminal_USB"}));
        PtyPeer terminal(bed.masterFd(device));
        QTemporaryDir work; // the Model's log goes to the working directory it starts in
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(work.path()));
        Model model;
        QVERIFY(QDir::setCurrent(previous));
        model.setTimingForTests(SimRig::fastTiming());
        QVERIFY(model.getSerialPort()->open(QString::fromStdString(device) +
                                            " - (Terminal USB)"_q));
        // The terminal's side on a thread of its own, its result handed back through a
        // std::future (which the race detector follows, where QFuture's lock it does not see).
        std::future<QByteArray> heard = std::async(std::launch::async, [&terminal, pieces] {
            const QByteArray request = terminal.receive(9, 2000);
            for (const QString &piece : pieces) {
                QThread::msleep(60);
                terminal.send(QByteArray::fromHex(piece.toLatin1()));
            }
            return request;
        });
        const Model::InitAnswer got = model.answerInitialisation(300);
        QCOMPARE(heard.get().toHex(), QByteArray("2fc004001400c8a4fc"));
        QCOMPARE(int(got), answer);
        QCOMPARE(model.lastFailure(), answer == int(Model::InitAnswer::Valid) ? FailureCause::None
                                      : answer == int(Model::InitAnswer::None)
                                          ? FailureCause::NoAnswer
                                          : FailureCause::BadReply);
        QVERIFY(model.getSerialPort()->close());
    }

    // The length text and the name as the frame carries them; a file whose encoded text does
    // not fit is not sent: the advertisement fails, nothing reaches the terminal and the log
    // says why (the rule itself: tst_configuration; a checked package holds no such file).
    void advertisement_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<quint32>("length");
        QTest::addColumn<QString>("text"); // empty: not sent
        QTest::newRow("seven digits") << "b.x"_q << 1000000u << "1000000;B.X"_q;
        // In UTF-8 each É takes two bytes: 11 of them fit, 12 do not.
        const QString e11(11, QChar(0xC9));
        QTest::newRow("encoded bytes fit") << e11 << 7u << "000007"_q + e11;
        QTest::newRow("encoded bytes too long") << e11 + QChar(0xC9) << 7u << QString();
    }
    void advertisement()
    {
        QFETCH(QString, name);
        QFETCH(quint32, length);
        QFETCH(QString, text);
        QTextCodec *previous = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
        SimRig rig;
        QVERIFY(rig.ready() && rig.open() && QDir().mkpath("sub/dir"_q));
        Application file(rig.writeFile("sub/dir/"_q + name,
                                       sealing::sealAnnouncing(QByteArray(16, 'x'), length)));
        SimRig::readContent(file);
        const bool ok = rig.model().sendInfo(&file);
        QTextCodec::setCodecForLocale(previous);
        QCOMPARE(ok, !text.isEmpty());
        QCOMPARE(rig.model().lastFailure(), ok ? FailureCause::None : FailureCause::Package);
        QCOMPARE(rig.log(), ok ? QStringList()
                               : QStringList{"sendInfo Erreur nom trop long pour l'annonce"_q});
        const sim::Record record = rig.record();
        QCOMPARE(record.frames.size(), ok ? 1 : 0);
        const sim::Advertisement ad = record.advertisements.value(0); // none when not sent
        QVERIFY(record.anomalies.isEmpty()); // byte 1 is the text's length, zeros behind it
        QCOMPARE(QString::fromUtf8(ad.lengthText + ad.name), text);
    }

    // Content, chunks and block numbers (checked by the terminal, which stops a download on a
    // wrong one); the final acknowledgement arrives with the last block's reply. The module
    // bar's values are in tst_install and tst_station.
    void download_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("empty") << 0;
        QTest::newRow("a full block and one byte") << 123;
        QTest::newRow("300 blocks, the 257th numbered 01 00") << 122 * 300 - 5;
    }
    void download()
    {
        QFETCH(int, size);
        SimRig rig(behaviourOf("--final-ack-at-once"_q));
        const QByteArray plain = randomBytes(size, quint32(size));
        Application file(rig.writeFile("pay.bin"_q, sealing::seal(plain)));
        SimRig::readContent(file);
        QVERIFY(rig.ready() && rig.open() && rig.model().sendInfo(&file));
        QVERIFY(rig.model().getAuthorization());
        QVERIFY(rig.model().load(&file));
        QCOMPARE(rig.log(), QStringList());
        const sim::Record record = rig.record();
        QVERIFY2(record.anomalies.isEmpty(), qPrintable(record.anomalies.join(QLatin1Char('\n'))));
        QCOMPARE(record.completeDownloads().size(), 1);
        QCOMPARE(record.completeDownloads().first().content, plain);
        QCOMPARE(record.blockNumbers.size(), (size + 121) / 122);
    }

    // The fixed waits, lengthened: per file before the activation's reply is read, before the
    // hardware record is asked for, and before a download's start block and each resend.
    void waits()
    {
        Model::Timing timing = SimRig::fastTiming();
        timing.perFileActivationMs = 200;
        timing.hterminalDelayMs = 150;
        SimRig rig(behaviourOf("--bad-crc-block 0 --nok-block 0 --nok-block 1"_q), timing);
        Application file(rig.writeFile("f"_q, sealing::seal(randomBytes(200, 1))));
        SimRig::readContent(file);
        QVERIFY(rig.ready() && rig.open());
        QElapsedTimer timer;
        timer.start();
        QVERIFY(rig.model().activateApplications(3));
        QVERIFY(timer.restart() >= 600);
        QVERIFY(rig.model().getHTerminal());
        QVERIFY(timer.elapsed() >= 150);
        QVERIFY(rig.model().sendInfo(&file) && rig.model().getAuthorization());
        timing.requestDelayMs = 80;
        rig.model().setTimingForTests(timing);
        timer.restart();
        QVERIFY(rig.model().load(&file));
        QVERIFY(timer.elapsed() >= 4 * 80); // the start block and three resends
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
