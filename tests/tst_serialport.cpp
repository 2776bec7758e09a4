#include "link/serialport.h"
#include "mockbed.h"
#include "ptypeer.h"

#include <QElapsedTimer>
#include <QSerialPortInfo>
#include <QTest>
#include <QtConcurrent>

#include <memory>
#include <termios.h>
#include <thread>

namespace {

// A name of this process's own: the serial port's lock file is named after it, and tests run
// side by side.
const std::string kDevice = "ttyACM" + std::to_string(QCoreApplication::applicationPid());
const QString kLabel = QString::fromStdString(kDevice) + QStringLiteral(" - (Terminal USB)");

QByteArray bytesOf(const quint8 *data, int n)
{
    return QByteArray(reinterpret_cast<const char *>(data), n);
}

// Counts Qt warnings, to catch a port used from a thread that does not own it.
int gWarnings = 0;
void countWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type >= QtWarningMsg) {
        ++gWarnings;
        fprintf(stderr, "warning: %s\n", qPrintable(message));
    }
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
        QVERIFY(master >= 0);
        peer = std::make_unique<PtyPeer>(master);
    }
    void cleanup()
    {
        peer.reset();
        bed.reset();
    }

    void labelOfMockedDevice()
    {
        const auto ports = QSerialPortInfo::availablePorts();
        QCOMPARE(ports.size(), 1);
        QCOMPARE(SerialPort::labelFor(ports.first()), kLabel);
    }

    void openByLabelAppliesLineSettings()
    {
        SerialPort port;
        QVERIFY(port.open(kLabel));
        QVERIFY(port.isOpen());
        QCOMPARE(port.getPortLabel(), kLabel);

        termios tio{};
        QCOMPARE(tcgetattr(master, &tio), 0); // the master reports the slave's settings
        QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
        QCOMPARE(cfgetispeed(&tio), speed_t(B9600));
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(tio.c_cflag & PARENB, tcflag_t(0));
        QCOMPARE(tio.c_cflag & CSTOPB, tcflag_t(0));
        QCOMPARE(tio.c_cflag & CRTSCTS, tcflag_t(0));
        const auto lines = port.pinoutSignals();
        QVERIFY(lines & QSerialPort::RequestToSendSignal);
        QVERIFY(lines & QSerialPort::DataTerminalReadySignal);
        QVERIFY(port.close());
    }

    void unknownLabelOnFreshObjectFails()
    {
        SerialPort port;
        QVERIFY(!port.open(QStringLiteral("ttyACM9 - (Terminal USB)")));
        QVERIFY(!port.isOpen());
        QVERIFY(port.getPortLabel().isEmpty());
    }

    // A second open, even for another label, succeeds at once and applies nothing again.
    void openWhileOpenKeepsSettings()
    {
        SerialPort port;
        QVERIFY(port.open(kLabel));
        termios tio{};
        QCOMPARE(tcgetattr(master, &tio), 0);
        cfsetspeed(&tio, B19200);
        QCOMPARE(tcsetattr(master, TCSANOW, &tio), 0);

        QVERIFY(port.open(QStringLiteral("ttyUSB7 - (Autre)")));
        QCOMPARE(tcgetattr(master, &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B19200));
        QCOMPARE(port.getPortLabel(), kLabel);
    }

    void closeClearsLabelAndIsIdempotent()
    {
        SerialPort port;
        QVERIFY(port.close()); // never opened
        QVERIFY(port.open(kLabel));
        QVERIFY(port.close());
        QVERIFY(!port.isOpen());
        QVERIFY(port.getPortLabel().isEmpty());
        QVERIFY(port.close());
        QVERIFY(port.open(kLabel)); // and it opens again
        QVERIFY(port.close());
    }

    void writeReachesTerminal()
    {
        SerialPort port;
        QVERIFY(port.open(kLabel));
        const quint8 frame[] = {0x2F, 0xC0, 0x04, 0x00, 0x14, 0x00, 0xC8, 0xA4, 0xFC};
        QVERIFY(port.write(frame, sizeof frame));
        QCOMPARE(peer->receive(sizeof frame, 2000), bytesOf(frame, sizeof frame));
    }

    // The exact read gathers a reply sent in bursts; the single-shot read returns the first.
    void burstsGatheredOnlyByExactRead()
    {
        SerialPort port;
        QVERIFY(port.open(kLabel));
        const QByteArray reply = QByteArray::fromHex("0601550000000000000000000000000000000000");

        std::thread sender([&] {
            peer->send(reply.left(7));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            peer->send(reply.mid(7));
        });
        quint8 buffer[32] = {};
        quint16 length = quint16(reply.size());
        const bool ok = port.read(buffer, length);
        sender.join();
        QVERIFY(ok);
        QCOMPARE(int(length), reply.size());
        QCOMPARE(bytesOf(buffer, reply.size()), reply);

        std::thread sender2([&] {
            peer->send(reply.left(7));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            peer->send(reply.mid(7));
        });
        quint8 buffer2[32] = {};
        quint16 length2 = quint16(reply.size());
        const bool ok2 = port.readWithTimeout(buffer2, length2, 1000);
        sender2.join();
        QVERIFY(ok2);
        QCOMPARE(int(length2), 7);
        QCOMPARE(bytesOf(buffer2, 7), reply.left(7));
    }

    void timeoutsLeaveLengthUnchanged()
    {
        SerialPort port;
        QVERIFY(port.open(kLabel));
        quint8 buffer[16] = {};
        quint16 length = 16;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!port.readWithTimeout(buffer, length, 300));
        QVERIFY(timer.elapsed() >= 290);
        QCOMPARE(int(length), 16);

        QVERIFY(!port.read(buffer, length)); // gives up after its poll budget
        QCOMPARE(int(length), 16);
    }

    // A chunk received before the budget runs out counts: the length left is what is missing.
    void exactReadTimeoutAfterPartialChunk()
    {
        SerialPort port;
        QVERIFY(port.open(kLabel));
        peer->send(QByteArray(5, 'a'));
        quint8 buffer[32] = {};
        quint16 length = 32;
        QVERIFY(!port.read(buffer, length));
        QCOMPARE(int(length), 27);
        QCOMPARE(bytesOf(buffer, 5), QByteArray(5, 'a'));
    }

    void clearInputDiscardsPendingBytes()
    {
        SerialPort port;
        QVERIFY(port.open(kLabel));
        peer->send(QByteArray("late reply"));
        QTest::qWait(100);
        port.clearInput();
        quint8 buffer[16] = {};
        quint16 length = 16;
        QVERIFY(!port.readWithTimeout(buffer, length, 200));
    }

    // Bytes that arrived before a single-shot read are returned even if nothing new comes.
    void singleShotReadTakesWaitingBytes()
    {
        SerialPort port;
        QVERIFY(port.open(kLabel));
        peer->send(QByteArray("abcd"));
        quint8 first[2] = {};
        quint16 two = 2;
        QVERIFY(port.read(first, two)); // pulls all four bytes into the port's buffer
        quint8 rest[8] = {};
        quint16 length = 8;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(port.readWithTimeout(rest, length, 3000));
        QVERIFY(timer.elapsed() < 1500); // what is there is taken, no wait for more
        QCOMPARE(int(length), 2);
        QCOMPARE(bytesOf(rest, 2), QByteArray("cd"));
    }

    // A pool worker opens, uses and closes the port; then the main thread does the same.
    // Neither may touch a port object that another thread owns.
    void usedFromOneThreadAfterAnother()
    {
        gWarnings = 0;
        const auto previous = qInstallMessageHandler(countWarnings);
        SerialPort port;
        const bool workerOk = QtConcurrent::run([&port] {
                                  return port.open(kLabel) &&
                                         port.write(reinterpret_cast<const quint8 *>("ab"), 2) &&
                                         port.close();
                              }).result();
        QVERIFY(workerOk);
        QVERIFY(port.open(kLabel));
        QVERIFY(port.write(reinterpret_cast<const quint8 *>("cd"), 2));
        QVERIFY(port.close());
        qInstallMessageHandler(previous);
        QCOMPARE(peer->receive(4, 1000), QByteArray("abcd"));
        QCOMPARE(gWarnings, 0);
    }

    // Nobody reads the line: the write gives up waiting after 5 s and still succeeds.
    void blockedWriteStillSucceeds()
    {
        SerialPort port;
        QVERIFY(port.open(kLabel));
        const QByteArray big(256 * 1024, 'x');
        QElapsedTimer timer;
        timer.start();
        QVERIFY(port.write(reinterpret_cast<const quint8 *>(big.constData()), 60000));
        QVERIFY(timer.elapsed() >= SerialPort::kDrainTimeoutMs);
        peer->drain();
    }

    void searchResultsAreCopies()
    {
        SerialPort port;
        port.setFoundPorts({kLabel, QStringLiteral("b")}, 1);
        QStringList copy = port.getPorts();
        copy.clear();
        QCOMPARE(port.getPorts().size(), 2);
        QCOMPARE(port.getPreferredIndex(), 1);
    }

private:
    std::unique_ptr<mockbed::Testbed> bed;
    std::unique_ptr<PtyPeer> peer;
    int master = -1;
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "tst_serialport.moc"
