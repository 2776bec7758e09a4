// What a dead terminal costs: the wall time and CPU of one exact read that gets nothing (its
// time-out), and of a read that waits for a late reply. Reference in the same run: the time of
// 200000 zero-time-out polls of the port, a count that once served as a time-out and that a
// fast PC gets through long before a slow line delivers a reply.
//
// The benchmark exits non-zero when a figure is not what it claims to be: a read of the dead
// terminal that got bytes or gave up before its time-out, a late reply that was not read whole,
// a poll of the idle port that found bytes. With --short: 20000 polls and one read of the dead
// terminal.
#include "benchmode.h"
#include "benchutil.h"
#include "link/serialport.h"
#include "mockbed.h"

#include <QCoreApplication>
#include <QSerialPort>

#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

struct Figures
{
    double wall;
    double cpu;
    bool ok;
};

template<typename Read>
Figures measure(Read read)
{
    const double wall = bench::wallSeconds();
    const double cpu = bench::threadCpuSeconds();
    const bool ok = read();
    return {bench::wallSeconds() - wall, bench::threadCpuSeconds() - cpu, ok};
}

void print(const char *what, const Figures &f)
{
    std::printf("  %-34s %7.3f s wall, %7.4f s CPU (%5.2f %%)%s\n", what, f.wall, f.cpu,
                100.0 * f.cpu / f.wall, f.ok ? "" : "  (nothing read)");
}

} // namespace

int main(int argc, char *argv[])
{
    bool shortRun = false;
    if (!bench::parseMode(argc, argv, shortRun))
        return 2;
    QCoreApplication application(argc, argv);
    const std::string name = "ttyWAIT" + std::to_string(QCoreApplication::applicationPid());
    const QString label = QString::fromStdString(name) + QStringLiteral(" - (Terminal USB)");
    mockbed::Testbed bed;
    if (!bed.add({name, "Tarvenix", "Terminal_USB"})) {
        std::fprintf(stderr, "no mocked device (run with the shim and umockdev preloaded)\n");
        return 1;
    }
    const int master = bed.masterFd(name);
    quint8 buffer[32];
    bool sound = true; // every figure measured what it claims

    {
        // The reference: the bare port, polled with a zero time-out.
        QSerialPort bare(QString::fromStdString(name));
        if (!bare.open(QIODevice::ReadWrite))
            return 1;
        const int polls = shortRun ? 20000 : 200000;
        const Figures f = measure([&] {
            for (int i = 0; i < polls; ++i) {
                bare.waitForReadyRead(0);
                if (bare.bytesAvailable() > 0)
                    return true;
            }
            return false;
        });
        std::printf("reference: %d empty zero-time-out polls of an idle port\n", polls);
        print("polls", f);
        std::printf("  (%.2f us a poll)\n", 1e6 * f.wall / polls);
        sound = sound && !f.ok;
    }

    SerialPort port;
    if (!port.open(label))
        return 1;
    std::printf("a dead terminal: one exact read that gets nothing (time-out %d ms)\n",
                SerialPort::kReadTimeoutMs);
    double worst = 0;
    for (int run = 1; run <= (shortRun ? 1 : 3); ++run) {
        quint16 length = 32;
        const Figures f = measure([&] { return port.read(buffer, length); });
        char what[32];
        std::snprintf(what, sizeof what, "run %d", run);
        print(what, f);
        worst = std::max(worst, f.cpu / f.wall);
        // Nothing to read, and the whole time-out waited (a port in error gives up at once).
        sound = sound && !f.ok && f.wall >= 0.9 * SerialPort::kReadTimeoutMs / 1000.0;
    }

    // A reply that comes 300 ms after the read starts, in two pieces 50 ms apart.
    static constexpr int kDelayMs = 300;
    const auto replyLater = [master] {
        const QByteArray half(16, '\x55');
        std::this_thread::sleep_for(std::chrono::milliseconds(kDelayMs));
        (void)!::write(master, half.constData(), size_t(half.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        (void)!::write(master, half.constData(), size_t(half.size()));
    };
    std::printf("a 32-byte reply that starts %d ms after the read, in two pieces:\n", kDelayMs);
    {
        std::thread peer(replyLater);
        quint16 length = 32;
        const Figures f = measure([&] { return port.read(buffer, length); });
        peer.join();
        print("exact read", f);
        sound = sound && f.ok && length == 32;
    }
    {
        std::thread peer(replyLater);
        quint16 length = 32;
        const Figures f = measure([&] { return port.readReply(buffer, length, 4000); });
        peer.join();
        print("reply of known length", f);
        sound = sound && f.ok && length == 32;
    }
    port.close();
    std::printf("worst CPU share of a dead terminal's read: %.2f %%\n", 100.0 * worst);
    if (!sound)
        std::fprintf(stderr, "a read did not behave as measured: the figures above are void\n");
    return sound ? 0 : 1;
}
