// The exact read's time-out: 200000 empty polls of SerialPort::read on an idle mocked port,
// and the CPU a reader uses while it waits for a reply, with the single-shot read as reference.
#include "benchutil.h"
#include "link/serialport.h"
#include "mockbed.h"

#include <QCoreApplication>

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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const std::string name = "ttyPOLL" + std::to_string(QCoreApplication::applicationPid());
    mockbed::Testbed bed;
    if (!bed.add({name, "Tarvenix", "Terminal_USB"})) {
        std::fprintf(stderr, "no mocked device (run with the shim and umockdev preloaded)\n");
        return 1;
    }
    const int master = bed.masterFd(name);
    SerialPort port;
    if (!port.open(QString::fromStdString(name) + QStringLiteral(" - (Terminal USB)")))
        return 1;
    quint8 buffer[32];

    std::printf("exact read on an idle line (%d empty polls before it gives up):\n",
                SerialPort::kReadPollBudget);
    for (int run = 0; run < 3; ++run) {
        quint16 length = 32;
        const Figures f = measure([&] { return port.read(buffer, length); });
        std::printf("  run %d: %.3f s wall, %.3f s CPU (%.2f us a poll)%s\n", run + 1, f.wall,
                    f.cpu, 1e6 * f.wall / SerialPort::kReadPollBudget,
                    f.ok ? "  (unexpected bytes)" : "");
    }

    // A reply that comes 300 ms after the read starts.
    static constexpr int kDelayMs = 300;
    const auto replyLater = [master] {
        std::this_thread::sleep_for(std::chrono::milliseconds(kDelayMs));
        const QByteArray reply(32, '\x55');
        (void)!::write(master, reply.constData(), size_t(reply.size()));
    };
    std::printf("waiting %d ms for a 32-byte reply:\n", kDelayMs);
    {
        std::thread peer(replyLater);
        quint16 length = 32;
        const Figures f = measure([&] { return port.read(buffer, length); });
        peer.join();
        std::printf("  exact read (polls):             %.3f s wall, %.3f s CPU (%3.0f %%)\n",
                    f.wall, f.cpu, 100.0 * f.cpu / f.wall);
    }
    {
        std::thread peer(replyLater);
        quint16 length = 32;
        const Figures f = measure([&] { return port.readWithTimeout(buffer, length, 4000); });
        peer.join();
        std::printf("  single-shot read (blocks):      %.3f s wall, %.3f s CPU (%3.0f %%)\n",
                    f.wall, f.cpu, 100.0 * f.cpu / f.wall);
    }
    port.close();
    return 0;
}
