// The tool's own cost per data block: a 1 MiB download to the simulated terminal over a mocked
// serial port, no line pacing and no fixed waits, against bare stop-and-wait exchanges of the
// same frame sizes over the same kind of pty. A download the terminal did not receive whole, or
// a reference exchange that did not get every reply, makes the benchmark exit non-zero. With
// --short: 128 KiB.
#include "benchmode.h"
#include "benchutil.h"
#include "config/records.h"
#include "crypto/sealedfile.h"
#include "link/serialport.h"
#include "mockbed.h"
#include "model/model.h"
#include "sealing.h"
#include "terminal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace {

int blocksFor(int plainSize)
{
    return (plainSize + 121) / 122;
}

struct Figures
{
    double wall = 0;
    double cpu = 0;    // of the exchanging thread
    bool done = false; // every block answered
};

void print(const char *what, int blocks, const Figures &f, const Figures &reference)
{
    std::printf("%-44s %8.0f blocks/s %7.1f us/block  CPU %6.3f s (%5.1f us/block)  x%.2f\n", what,
                blocks / f.wall, 1e6 * f.wall / blocks, f.cpu, 1e6 * f.cpu / blocks,
                f.wall / reference.wall);
}

// write 128 / read 32 with plain POSIX calls.
Figures bareExchange(const QString &device, int blocks)
{
    Figures f;
    const int fd = bench::openRaw(device);
    if (fd < 0)
        return f;
    char block[128] = {};
    char reply[32];
    int answered = 0;
    const double wall = bench::wallSeconds();
    const double cpu = bench::threadCpuSeconds();
    for (int i = 0; i < blocks; ++i) {
        (void)!::write(fd, block, sizeof block);
        int got = 0;
        while (got < 32) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, 1000);
            const ssize_t n = ::read(fd, reply + got, size_t(32 - got));
            if (n <= 0)
                break;
            got += int(n);
        }
        answered += got == 32 ? 1 : 0;
    }
    f.wall = bench::wallSeconds() - wall;
    f.cpu = bench::threadCpuSeconds() - cpu;
    f.done = answered == blocks;
    ::close(fd);
    return f;
}

// The same exchange through the serial link the commands use (write, exact read).
Figures linkExchange(const QString &label, int blocks)
{
    Figures f;
    SerialPort port;
    if (!port.open(label))
        return f;
    quint8 block[128] = {};
    quint8 reply[32];
    int answered = 0;
    const double wall = bench::wallSeconds();
    const double cpu = bench::threadCpuSeconds();
    for (; answered < blocks; ++answered) {
        quint16 length = 32;
        if (!port.write(block, 128) || !port.read(reply, length))
            break;
    }
    f.wall = bench::wallSeconds() - wall;
    f.cpu = bench::threadCpuSeconds() - cpu;
    f.done = answered == blocks;
    port.close();
    return f;
}

} // namespace

int main(int argc, char *argv[])
{
    bool shortRun = false;
    if (!bench::parseMode(argc, argv, shortRun))
        return 2;
    const int plainSize = shortRun ? 128 * 1024 : 1 << 20;
    const int blocks = blocksFor(plainSize);
    QCoreApplication application(argc, argv);
    QTemporaryDir dir;
    QDir::setCurrent(dir.path()); // the Model's log file goes there
    const std::string pid = std::to_string(QCoreApplication::applicationPid());
    mockbed::Testbed bed;
    mockbed::Device bare{"ttyBARE" + pid, "Tarvenix", "Terminal_USB"};
    mockbed::Device tool{"ttySIM" + pid, "Tarvenix", "Terminal_USB"};
    if (!bed.add(bare) || !bed.add(tool)) {
        std::fprintf(stderr, "no mocked devices (run with the shim and umockdev preloaded)\n");
        return 1;
    }
    const QString bareName = QString::fromStdString(bare.name);
    const QString label = [](const std::string &name) {
        return QString::fromStdString(name) + QStringLiteral(" - (Terminal USB)");
    }(tool.name);

    std::printf("%s download: %d data blocks of 128 bytes, each answered by 32 bytes\n",
                shortRun ? "128 KiB" : "1 MiB", blocks);
    Figures posix, link;
    {
        bench::BarePeer peer(bed.masterFd(bare.name), 128, 32);
        posix = bareExchange(bareName, blocks);
        link = linkExchange(bareName + QStringLiteral(" - (Terminal USB)"), blocks);
    }

    sim::Behaviour behaviour;
    behaviour.finalAckDelayMs = 2;
    sim::Terminal terminal(behaviour);
    if (!terminal.start(bed.masterFd(tool.name), true))
        return 1;
    Model model;
    Model::Timing timing; // no fixed wait: only the exchange is measured
    timing.requestDelayMs = 0;
    model.setTimingForTests(timing);
    QFile file(QStringLiteral("bench.bin"));
    QByteArray plain(plainSize, '\0');
    for (int i = 0; i < plain.size(); ++i)
        plain[i] = char(i * 31 + (i >> 8));
    if (!file.open(QIODevice::WriteOnly) || file.write(sealing::seal(plain)) <= 0)
        return 1;
    file.close();
    Application app(QDir(dir.path()).filePath(QStringLiteral("bench.bin")));
    // The file is read and decrypted once, when the package is checked; timed apart here.
    const double decryptStart = bench::wallSeconds();
    QByteArray bytes;
    regularfile::Failure failure;
    if (regularfile::read(app.path, SealedFile::kMaxFileSize, bytes, failure))
        app.setContent(std::move(bytes));
    const double decrypt = bench::wallSeconds() - decryptStart;
    if (!model.getSerialPort()->open(label) || !model.sendInfo(&app) ||
        !model.getAuthorization()) {
        std::fprintf(stderr, "the simulated terminal did not accept the file\n");
        return 1;
    }

    Figures full;
    const double processCpu = bench::processCpuSeconds();
    const double wall = bench::wallSeconds();
    const double cpu = bench::threadCpuSeconds();
    const bool loaded = model.load(&app);
    full.wall = bench::wallSeconds() - wall;
    full.cpu = bench::threadCpuSeconds() - cpu;
    const double allCpu = bench::processCpuSeconds() - processCpu;
    model.getSerialPort()->close();
    terminal.stop();
    const sim::Record record = terminal.record();
    const bool whole = loaded && !record.completeDownloads().isEmpty() &&
                       record.completeDownloads().last().content == plain;

    print("reference: bare POSIX write/poll/read", blocks, posix, posix);
    print("reference: the serial link (write, read)", blocks, link, posix);
    print("Vardel load() against vardel-sim", blocks, full, posix);
    std::printf("  whole download: %.3f s wall, %.3f s CPU in the process (host + terminal)\n",
                full.wall, allCpu);
    std::printf("  reading and decrypting the file once before it (the package check): %.3f s\n",
                decrypt);
    std::printf("  ratio to the serial-link reference: x%.2f wall, x%.2f CPU of the host thread\n",
                full.wall / link.wall, full.cpu / link.cpu);
    std::printf("  file received whole by the terminal: %s\n", whole ? "yes" : "NO");
    if (!posix.done || !link.done)
        std::fprintf(stderr,
                     "a reference exchange did not get every reply: its figures are void\n");
    return whole && posix.done && link.done ? 0 : 1;
}
