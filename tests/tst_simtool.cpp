// The vardel-sim program: a command run against a mocked serial device, and a tty served.
#include "sealing.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

const QString kSim = QStringLiteral(VARDEL_SIM_PATH);
const QString kProbe = QStringLiteral(VARDEL_PROBE_PATH);

// QSerialPort locks a port by its name: a device of this process's own keeps the probe clear
// of the other tests that run side by side.
QStringList mockDevice()
{
    return {QStringLiteral("--mock"), QStringLiteral("--device"),
            QStringLiteral("ttyACM%1").arg(QCoreApplication::applicationPid())};
}

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

Run run(const QStringList &arguments, const QString &dir = QString())
{
    QProcess process;
    if (!dir.isEmpty())
        process.setWorkingDirectory(dir);
    process.start(kSim, arguments);
    Run result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

} // namespace

class TestSimTool : public QObject
{
    Q_OBJECT

private slots:
    // Any command runs inside the testbed; its status is the program's.
    void mockRunsAnyCommand_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::newRow("device present")
            << QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                           QStringLiteral("test -c /dev/ttyACM0 && echo present")}
            << 0 << QStringLiteral("present\n");
        QTest::newRow("status passed on")
            << QStringList{QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("exit 3")}
            << 3 << QString();
        QTest::newRow("shim first")
            << QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                           QStringLiteral("echo $LD_PRELOAD | cut -d: -f1-2 | tr : ' ' | "
                                          "xargs -n1 basename")}
            << 0 << QStringLiteral("libvardel-modemshim.so\nlibumockdev-preload.so.0\n");
        QTest::newRow("no such command")
            << QStringList{QStringLiteral("/nonexistent/command")} << 127 << QString();
    }
    void mockRunsAnyCommand()
    {
        QFETCH(QStringList, command);
        QFETCH(int, status);
        QFETCH(QString, out);
        const Run result =
            run(QStringList{QStringLiteral("--mock"), QStringLiteral("--")} + command);
        QCOMPARE(result.status, status);
        QCOMPARE(result.out, out);
        if (status != 127)
            QVERIFY2(result.err.contains(QLatin1String("vardel-sim: frames: none")),
                     qPrintable(result.err));
    }

    // A real client over the mocked port: the downloaded file reaches the terminal whole.
    void mockServesAModel()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray plain = QByteArray("terminal software ").repeated(40);
        const QString file = dir.filePath(QStringLiteral("app.bin"));
        QFile sealed(file);
        QVERIFY(sealed.open(QIODevice::WriteOnly));
        sealed.write(sealing::seal(plain));
        sealed.close();
        const QString saved = dir.filePath(QStringLiteral("received"));
        const Run result =
            run(mockDevice() + QStringList{QStringLiteral("--save"), saved,
                                           QStringLiteral("--nok-block"), QStringLiteral("2"),
                                           QStringLiteral("--"), kProbe, file},
                dir.path());
        QVERIFY2(result.status == 0, qPrintable(result.err));
        QFile received(saved + QStringLiteral("/APP.BIN"));
        QVERIFY(received.open(QIODevice::ReadOnly));
        QCOMPARE(received.readAll(), plain);
        QVERIFY(result.err.contains(QLatin1String("advertised: 000720 APP.BIN")));
        QVERIFY(
            result.err.contains(QLatin1String("download: APP.BIN, 720 of 720 bytes, complete")));
        QVERIFY(result.err.contains(QLatin1String("data 7"))); // 6 blocks, one sent twice
    }

    // The terminal's behaviour follows the options.
    void mockOptionsReachTheTerminal()
    {
        QTemporaryDir dir;
        const Run result = run(mockDevice() + QStringList{QStringLiteral("--refuse-app"),
                                                          QStringLiteral("--"), kProbe},
                               dir.path());
        QCOMPARE(result.status, 13); // isVardelOnTerminal refused
        QVERIFY(result.err.contains(QLatin1String("frames: init 1, query 1")));
    }

    void badOptions()
    {
        const Run result =
            run({QStringLiteral("--mock"), QStringLiteral("--mute"), QStringLiteral("everything"),
                 QStringLiteral("--"), QStringLiteral("true")});
        QCOMPARE(result.status, 2);
        QVERIFY(result.err.contains(QLatin1String("unknown command: everything")));
        QVERIFY(result.err.contains(QLatin1String("usage:")));
    }

    // --tty serves a pty until it is told to stop.
    void ttyServed()
    {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0);
        QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString slave = QString::fromLocal8Bit(::ptsname(master));
        QProcess process;
        process.start(kSim, {QStringLiteral("--tty"), slave});
        QVERIFY(process.waitForStarted());
        process.setReadChannel(QProcess::StandardError);
        QVERIFY(process.waitForReadyRead(10000)); // "serving a terminal on ..."

        const QByteArray init = QByteArray::fromHex("2FC004001400C8A4FC");
        QCOMPARE(::write(master, init.constData(), size_t(init.size())), ssize_t(init.size()));
        QByteArray reply;
        pollfd p{master, POLLIN, 0};
        while (reply.size() < 7 && ::poll(&p, 1, 5000) > 0) {
            char buffer[16];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            reply.append(buffer, int(n));
        }
        QCOMPARE(reply.left(5).toHex(), QByteArray("2fc0024f4b"));
        process.terminate();
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(QString::fromLocal8Bit(process.readAllStandardError())
                    .contains(QLatin1String("frames: init 1")));
        ::close(master);
    }
};

QTEST_GUILESS_MAIN(TestSimTool)
#include "tst_simtool.moc"
