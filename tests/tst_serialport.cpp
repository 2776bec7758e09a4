#include "link/serialport.h"
#include "mockbed.h"
#include "ptypeer.h"
#include "system/workers.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <array>
#include <fcntl.h>
#include <memory>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A name of this process's own: the port's lock file is named after it, and tests run side by
// side.
const std::string kDevice = "ttyACM" + std::to_string(QCoreApplication::applicationPid());
const QString kLabel = QString::fromStdString(kDevice) + QStringLiteral(" - (Terminal USB)");

QByteArray bytes(const quint8 *buffer, int length)
{
    return QByteArray(reinterpret_cast<const char *>(buffer), length);
}

} // namespace

class TestSerialPort : public QObject
{
    Q_OBJECT

    SerialPort port;
    std::unique_ptr<mockbed::Testbed> bed;
    int master = -1;
    PtyPeer peer{-1};

    // Sends `pieces` from another thread, `gapMs` before each; workers::waitForAll() waits for
    // the last.
    void later(const QList<QByteArray> &pieces, int gapMs)
    {
        workers::start([this, pieces, gapMs] {
            for (const QByteArray &piece : pieces) {
                QThread::msleep(ulong(gapMs));
                peer.send(piece);
            }
        });
    }

private slots:
    void init()
    {
        bed = std::make_unique<mockbed::Testbed>();
        QVERIFY(bed->add(mockbed::Device{kDevice, "Tarvenix", "Terminal_USB"}));
        master = bed->masterFd(kDevice);
        peer = PtyPeer(master);
    }
    void cleanup()
    {
        QVERIFY(port.close()); // also when nothing is open
        bed.reset();
    }

    // Open by label with the line settings and RTS/DTR; a second open applies nothing; an
    // unknown label opens nothing, not even the port chosen before; close clears the label.
    void openAndClose()
    {
        QVERIFY(!port.open(QStringLiteral("ttyACM9 - (Terminal USB)")) &&
                port.getPortLabel().isEmpty());
        QVERIFY(port.open(kLabel));
        termios tio{};
        QCOMPARE(tcgetattr(master, &tio), 0); // the master reports the slave's settings
        QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
        QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        const auto rtsDtr = QSerialPort::RequestToSendSignal | QSerialPort::DataTerminalReadySignal;
        QCOMPARE(port.pinoutSignals() & rtsDtr, rtsDtr);

        cfsetspeed(&tio, B19200);
        QCOMPARE(tcsetattr(master, TCSANOW, &tio), 0);
        QVERIFY(port.open(kLabel));
        QVERIFY(!port.open(QStringLiteral("ttyUSB7 - (Autre)")) && port.isOpen());
        QCOMPARE(tcgetattr(master, &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B19200));
        QCOMPARE(port.getPortLabel(), kLabel);
        QVERIFY(port.close() && !port.isOpen() && port.getPortLabel().isEmpty());
        QVERIFY(!port.open(QStringLiteral("ttyUSB7 - (Autre)")) && !port.isOpen());
    }

    // Waits are measured in time. The exact read gives up after kReadTimeoutMs without a byte,
    // but that wait starts again with every chunk, so a reply in slow pieces is gathered whole;
    // a time-out leaves the length as it was during the chunk that timed out. A reply of known
    // length is gathered from its pieces; one that stops short gives what came; nothing at all
    // is a failure that leaves the length alone.
    void readsWaitInTime()
    {
        QVERIFY(port.open(kLabel));
        quint8 buffer[32] = {};
        quint16 length = 16;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!port.read(buffer, length));
        QVERIFY(timer.elapsed() >= SerialPort::kReadTimeoutMs - 10);
        QCOMPARE(int(length), 16);

        const int gap = SerialPort::kReadTimeoutMs * 3 / 4;
        later({"abcd", "efgh", "ijkl"}, gap);
        length = 12;
        timer.start();
        QVERIFY(port.read(buffer, length));
        QVERIFY(timer.elapsed() >= 3 * gap - 10); // longer than one time-out in all
        QCOMPARE(bytes(buffer, length), QByteArray("abcdefghijkl"));
        workers::waitForAll();

        QVERIFY(peer.send("abcde"));
        length = 32;
        QVERIFY(!port.read(buffer, length));
        QCOMPARE(int(length), 27);

        later({"0123", "4567", "89"}, 100);
        length = 10;
        QVERIFY(port.readReply(buffer, length, 1000));
        QCOMPARE(bytes(buffer, length), QByteArray("0123456789"));
        workers::waitForAll();

        later({"0123", "45"}, 100);
        timer.start();
        QVERIFY(port.readReply(buffer, length, 300));
        QCOMPARE(int(length), 6);
        QVERIFY(timer.elapsed() >= 500); // two pieces, then the whole time-out
        workers::waitForAll();

        length = 10;
        QVERIFY(!port.readReply(buffer, length, 200) && length == 10);
        QVERIFY(!port.readWithTimeout(buffer, length, 200) && length == 10);
    }

    // Bytes left over from an earlier exchange never answer the next request: write() drops
    // them, and so does clearInput().
    void staleBytesAreDropped()
    {
        QVERIFY(port.open(kLabel));
        quint8 buffer[8] = {};
        quint16 length = 4;
        QVERIFY(peer.send("late"));
        QTest::qWait(100);
        QVERIFY(port.write(reinterpret_cast<const quint8 *>("ask"), 3));
        QCOMPARE(peer.receive(3, 1000), QByteArray("ask"));
        QVERIFY(peer.send("new!"));
        QVERIFY(port.read(buffer, length));
        QCOMPARE(bytes(buffer, 4), QByteArray("new!"));

        QVERIFY(peer.send("late reply"));
        QTest::qWait(100);
        port.clearInput();
        QVERIFY(!port.readWithTimeout(buffer, length, 200));

        // The single-shot read takes what the port's buffer holds without waiting.
        QVERIFY(peer.send("abcd"));
        quint16 two = 2;
        QVERIFY(port.read(buffer, two)); // pulls all four bytes into the port's buffer
        QElapsedTimer timer;
        timer.start();
        QVERIFY(port.readWithTimeout(buffer, length, 3000) && timer.elapsed() < 1500);
        QCOMPARE(bytes(buffer, length), QByteArray("cd"));
    }

    // A pool worker opens, uses and closes the port, then the main thread does: neither
    // touches a port object that another thread owns (Qt would warn).
    void handedFromThreadToThread()
    {
        static int warnings = 0;
        const auto previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &, const QString &m) {
                warnings += type >= QtWarningMsg;
                fprintf(stderr, "%s\n", qPrintable(m));
            });
        const auto use = [this](const char *bytes) {
            return port.open(kLabel) && port.write(reinterpret_cast<const quint8 *>(bytes), 2);
        };
        bool usedThere = false;
        workers::start([&] { usedThere = use("ab") && port.close(); });
        workers::waitForAll();
        QVERIFY(usedThere);
        QVERIFY(use("cd"));
        qInstallMessageHandler(previous);
        QCOMPARE(peer.receive(4, 1000), QByteArray("abcd"));
        QCOMPARE(warnings, 0);
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
    }

    // The modem lines of the mocked device, answered by the preloaded shim: it is not
    // instrumented, so no sanitizer sees what it writes, and the bytes around each argument are
    // checked here. TIOCMGET fills the caller's int and nothing beside it; requests the shim
    // does not serve fail and leave their argument alone; a descriptor closed and opened again
    // starts with its lines down.
    void modemLinesStayInTheirInt()
    {
        const std::string node = "/dev/" + kDevice;
        const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        std::array<quint8, 16 + 128 + 16> guarded; // the argument at offset 16
        const auto untouchedBeyond = [&](std::size_t size) {
            const auto fill = [](quint8 b) { return b == 0xA5; };
            return std::all_of(guarded.begin(), guarded.begin() + 16, fill) &&
                   std::all_of(guarded.begin() + 16 + size, guarded.end(), fill);
        };
        int bits = TIOCM_RTS | TIOCM_DTR;
        QCOMPARE(::ioctl(fd, TIOCMBIS, &bits), 0);
        for (const unsigned long request : {TIOCGSERIAL, TIOCGICOUNT, TIOCOUTQ, TIOCMGET}) {
            guarded.fill(0xA5);
            const bool served = request == TIOCMGET;
            QCOMPARE(::ioctl(fd, request, guarded.data() + 16), served ? 0 : -1);
            QVERIFY2(untouchedBeyond(served ? sizeof(int) : 0),
                     qPrintable(QString::number(request, 16)));
        }
        std::copy_n(guarded.data() + 16, sizeof bits, reinterpret_cast<quint8 *>(&bits));
        QCOMPARE(bits & (TIOCM_RTS | TIOCM_DTR), TIOCM_RTS | TIOCM_DTR);
        QCOMPARE(::ioctl(fd, TIOCMIWAIT, TIOCM_CD), -1); // an int by value, never dereferenced

        QCOMPARE(::close(fd), 0);
        const int again = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QCOMPARE(again, fd); // the lowest free number: the same descriptor
        QCOMPARE(::ioctl(again, TIOCMGET, &bits), 0);
        QCOMPARE(bits, 0);
        ::close(again);
    }
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "tst_serialport.moc"
