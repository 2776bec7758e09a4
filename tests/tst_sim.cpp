// The simulated terminal itself: its frame parser, its command line, and vardel-sim running a
// command against a mocked serial device or serving a tty. Run with --probe, this program is
// such a command: a Model opens a session on the first serial port it sees.
#include "childsignal.h"
#include "link/serialport.h"
#include "model/model.h"
#include "parser.h"
#include "ptypeer.h"
#include "replies.h"

#include <QSerialPortInfo>
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
    const auto ports = QSerialPortInfo::availablePorts();
    if (!QDir::setCurrent(dir.path()) || ports.isEmpty())
        return 11;
    Model model;
    if (!model.getSerialPort()->open(SerialPort::labelFor(ports.first())))
        return 11;
    return !model.initializeTerminal() ? 12 : model.isVardelOnTerminal() ? 0 : 13;
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

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
    }
    void mock()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, err);
        QProcess sim;
        sim.start(QStringLiteral(VARDEL_SIM_PATH),
                  ("--mock "_q + arguments).split(QLatin1Char(' '), Qt::SkipEmptyParts));
        QVERIFY(sim.waitForFinished(60000));
        QTEST(sim.exitCode(), "status");
        const QString said = QString::fromLocal8Bit(sim.readAllStandardError());
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
        QVERIFY(sim.waitForFinished(60000) && sim.exitCode() == 0);
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
        QVERIFY(sim.waitForFinished(10000) && sim.exitCode() == 0);
        QVERIFY(sim.readAllStandardError().contains("frames: init 1"));
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
