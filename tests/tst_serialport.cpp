#include "link/serialport.h"
#include "ptypeer.h"
#include "mockbed.h"

#include <QElapsedTimer>
#include <QSerialPortInfo>
#include <QTest>
#include <QtConcurrent>

#include <memory>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// A name of this process's own: the port's lock file is named after it, and tests run side by
// side.
const std::string kDevice = "ttyACM" + std::to_string(QCoreApplication::applicationPid());
const QString kLabel = QString::fromStdString(kDevice) + QStringLiteral(" - (Terminal USB)");

QByteArray bytesOf(const quint8 *data, int n)
{
    return QByteArray(reinterpret_cast<const char *>(data), n);
}

int gWarnings = 0;
void countWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    gWarnings += type >= QtWarningMsg;
    fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

class TestSerialPort : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        bed = std::make_unique<mockbed::Testbed>();
        QVERIFY(bed->add(mockbed::Device{kDevice, "Tarvenix", "Terminal_USB"}));
        master = bed->masterFd(kDevice);
        peer = std::make_unique<PtyPeer>(master);
        QVERIFY(port.close());
    }
    void cleanup()
    {
        QVERIFY(port.close());
        peer.reset();
        bed.reset();
    }

    // Open by label with the line settings and RTS/DTR; a second open (even for another label)
    // applies nothing; close clears the label, also when nothing was open.
    void openAndClose()
    {
        QCOMPARE(SerialPort::labelFor(QSerialPortInfo::availablePorts().value(0)), kLabel);
        QVERIFY(!port.open(QStringLiteral("ttyACM9 - (Terminal USB)")));
        QVERIFY(port.getPortLabel().isEmpty());

        QVERIFY(port.open(kLabel));
        QCOMPARE(port.getPortLabel(), kLabel);
        termios tio{};
        QCOMPARE(tcgetattr(master, &tio), 0); // the master reports the slave's settings
        QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
        QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        QCOMPARE(port.pinoutSignals() &
                     (QSerialPort::RequestToSendSignal | QSerialPort::DataTerminalReadySignal),
                 QSerialPort::RequestToSendSignal | QSerialPort::DataTerminalReadySignal);

        cfsetspeed(&tio, B19200);
        QCOMPARE(tcsetattr(master, TCSANOW, &tio), 0);
        QVERIFY(port.open(QStringLiteral("ttyUSB7 - (Autre)")));
        QCOMPARE(tcgetattr(master, &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B19200));
        QCOMPARE(port.getPortLabel(), kLabel);

        QVERIFY(port.close());
        QVERIFY(!port.isOpen() && port.getPortLabel().isEmpty());
        QVERIFY(port.close());
    }

    // The exact read gathers a reply sent in bursts; the single-shot read returns the first
    // burst, and takes bytes already there without waiting.
    void bursts()
    {
        QVERIFY(port.open(kLabel));
        const QByteArray reply = QByteArray::fromHex("0601550000000000000000000000000000000000");
        for (const bool exact : {true, false}) {
            std::thread sender([&] {
                peer->send(reply.left(7));
                std::this_thread::sleep_for(std::chrono::milliseconds(exact ? 100 : 300));
                peer->send(reply.mid(7));
            });
            quint8 buffer[32] = {};
            quint16 length = quint16(reply.size());
            const bool ok =
                exact ? port.read(buffer, length) : port.readWithTimeout(buffer, length, 1000);
            sender.join();
            QVERIFY(ok);
            QCOMPARE(int(length), exact ? reply.size() : 7);
            QCOMPARE(bytesOf(buffer, length), reply.left(length));
        }
        QTest::qWait(50);
        port.clearInput(); // the second burst
        peer->send(QByteArray("abcd"));
        quint8 buffer[8] = {};
        quint16 two = 2;
        QVERIFY(port.read(buffer, two)); // pulls all four bytes into the port's buffer
        quint16 rest = 8;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(port.readWithTimeout(buffer, rest, 3000));
        QVERIFY(timer.elapsed() < 1500);
        QCOMPARE(bytesOf(buffer, rest), QByteArray("cd"));
    }

    // Time-outs leave the length as it was during the chunk that timed out; clearInput drops
    // what is waiting.
    void timeoutsAndClear()
    {
        QVERIFY(port.open(kLabel));
        quint8 buffer[32] = {};
        quint16 length = 16;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!port.readWithTimeout(buffer, length, 300));
        QVERIFY(timer.elapsed() >= 290);
        QCOMPARE(int(length), 16);
        QVERIFY(!port.read(buffer, length));
        QCOMPARE(int(length), 16);

        peer->send(QByteArray(5, 'a'));
        length = 32;
        QVERIFY(!port.read(buffer, length));
        QCOMPARE(int(length), 27);

        peer->send(QByteArray("late reply"));
        QTest::qWait(100);
        port.clearInput();
        length = 16;
        QVERIFY(!port.readWithTimeout(buffer, length, 200));
    }

    // A pool worker opens, uses and closes the port, then the main thread does: neither
    // touches a port object that another thread owns (Qt would warn).
    void handedFromThreadToThread()
    {
        gWarnings = 0;
        const auto previous = qInstallMessageHandler(countWarnings);
        const bool workerOk = QtConcurrent::run([this] {
                                  return port.open(kLabel) &&
                                         port.write(reinterpret_cast<const quint8 *>("ab"), 2) &&
                                         port.close();
                              }).result();
        QVERIFY(workerOk);
        QVERIFY(port.open(kLabel) && port.write(reinterpret_cast<const quint8 *>("cd"), 2));
        qInstallMessageHandler(previous);
        QCOMPARE(peer->receive(4, 1000), QByteArray("abcd"));
        QCOMPARE(gWarnings, 0);
    }

    // Nobody reads the line: the write gives up waiting after 5 s and still succeeds.
    void blockedWriteStillSucceeds()
    {
        QVERIFY(port.open(kLabel));
        const QByteArray big(60000, 'x');
        QElapsedTimer timer;
        timer.start();
        QVERIFY(port.write(reinterpret_cast<const quint8 *>(big.constData()), 60000));
        QVERIFY(timer.elapsed() >= SerialPort::kDrainTimeoutMs);
        peer->drain();
    }

private:
    SerialPort port;
    std::unique_ptr<mockbed::Testbed> bed;
    std::unique_ptr<PtyPeer> peer;
    int master = -1;
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "tst_serialport.moc"
