// Station scaling: vardel-station updating 1, 2, 4, 8, 16 and 32 simulated terminals at once,
// each on a 9600-baud line whose terminal hands its replies over 16 bytes at a time and works
// 30 ms on each frame, with a 16 KiB package and the shipped waits. Reference: the same run with
// one terminal. Goals: with 4 terminals, at most 1.15 times the wall time of one; with 8, the
// station's process under 10 % of one core.
//
// Then the reboot waits: 32 terminals deaf for 20 s after their reboot, the station's CPU over
// 10 s of that silence, when every job tries its terminal again and again. Reference, measured
// in the same run: what one listing of the system's 32 ports costs, and so what a listing by
// each job each second would cost (as each job did before one listing served them all). Goal:
// under 5 % of one core.
//
// The terminals are served by this program (sim::Fleet, one thread per terminal); the station
// is a process of its own, whose CPU time wait4() (or /proc while it runs) reports: the
// terminals' CPU is not in it, and is printed apart. A failed update makes the benchmark exit
// non-zero, and so does a window that was not all silence or a listing that missed ports.
//
// With --short: a 1 KiB package, 1 and 4 terminals, then the 32 terminals deaf for 6 s after
// their reboot, over 3 s of it. In a build with the test suite's seam (VARDEL_TEST_TIMINGS) the
// station then skips the protocol's fixed pauses before requests (4 s before the hardware
// record among them); its searches and its reboot waits keep their shipped rhythm, which the
// reboot-wait figure is about.
#include "benchmode.h"
#include "benchutil.h"
#include "fleet.h"
#include "pack.h"
#include "packagefixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The sizes of a run; a short run's are smaller.
struct Sizes
{
    int plainKiB = 16;
    QList<int> terminals{1, 2, 4, 8, 16, 32};
    int waiting = 32;
    int rebootSilenceMs = 20000;
    double rebootWindowSeconds = 10;
};

Sizes shortSizes()
{
    Sizes sizes;
    sizes.plainKiB = 1;
    sizes.terminals = {1, 4};
    sizes.rebootSilenceMs = 6000;
    sizes.rebootWindowSeconds = 3;
    return sizes;
}

struct Measure
{
    bool updated = false;
    double wall = 0;       // the station's process, start to exit
    double stationCpu = 0; // its user and system time
    double terminalsCpu = 0;
    double waitCpu = -1; // during the reboot waits' window, when measured
    bool windowDeaf = false; // no terminal answered again before the window's end
};

double seconds(const timeval &t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// User and system time of a running process, from /proc; -1 when it cannot be read.
double cpuOf(long pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name (which may hold spaces), from field 3 on.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(::sysconf(_SC_CLK_TCK));
    return (fields.at(11).toDouble() + fields.at(12).toDouble()) / ticks; // utime, stime
}

// Every terminal of the fleet has acknowledged its reboot.
bool allRebooted(const sim::Fleet &fleet)
{
    for (int k = 0; k < fleet.size(); ++k) {
        if (fleet.record(k).count(sim::Command::Reboot) == 0)
            return false;
    }
    return true;
}

// Whether a terminal has answered a frame since it acknowledged its reboot, the program's
// second reboot frame aside (it comes before the terminal restarts): its silence is over.
bool anyBack(const sim::Fleet &fleet)
{
    for (int k = 0; k < fleet.size(); ++k) {
        bool rebooted = false;
        for (const sim::Frame &frame : fleet.record(k).frames) {
            if (rebooted && frame.answered && frame.command != sim::Command::Reboot)
                return true;
            rebooted = rebooted || frame.command == sim::Command::Reboot;
        }
    }
    return false;
}

// `terminals` terminals updated at once with a package of `plainSize` bytes; with
// `rebootSilenceMs`, the CPU of the reboot waits too, over `windowSeconds` (without it, the
// terminals restart as vardel-sim's do by default: the station finds them back within its
// wait).
Measure measure(int terminals, const QString &package, int plainSize, int rebootSilenceMs = 0,
                double windowSeconds = 0)
{
    Measure m;
    sim::Fleet fleet;
    // The station sees the fleet's devices; set before any terminal's thread runs.
    qputenv("UMOCKDEV_DIR", fleet.root().toLocal8Bit());
    const QString base = QStringLiteral("ttyBS%1_").arg(QCoreApplication::applicationPid());
    for (int k = 0; k < terminals; ++k) {
        sim::DeviceOptions device;
        device.behaviour.pace9600 = true;
        device.behaviour.pieceSize = 16;
        device.behaviour.workMs = 30;
        if (rebootSilenceMs > 0)
            device.behaviour.rebootSilenceMs = rebootSilenceMs;
        device.behaviour.setCatalogue(0x12, 0x34, 0x56); // the package's hardware record
        device.vendor = QStringLiteral("Tarvenix");
        device.serial = QStringLiteral("BENCH%1").arg(k);
        if (!fleet.add(base + QString::number(k), device)) {
            std::fprintf(stderr, "no mocked device (run with the shim and umockdev preloaded)\n");
            return m;
        }
    }
    const QString errors = QDir::current().filePath(QStringLiteral("station.err"));
    const double start = bench::wallSeconds();
    const long pid = bench::startStation(VARDEL_STATION_PATH, package, errors);
    if (pid < 0)
        return m;
    if (rebootSilenceMs > 0) {
        // The window starts once every job is in its reboot wait, and ends well before the
        // terminals answer again.
        while (!allRebooted(fleet) && bench::wallSeconds() - start < 300)
            QThread::msleep(100);
        QThread::msleep(1000);
        const double before = cpuOf(pid);
        const double from = bench::wallSeconds();
        QThread::msleep(ulong(windowSeconds * 1000));
        const double after = cpuOf(pid);
        if (before >= 0 && after >= 0)
            m.waitCpu = (after - before) / (bench::wallSeconds() - from);
        m.windowDeaf = allRebooted(fleet) && !anyBack(fleet);
    }
    int status = -1;
    rusage usage{};
    const bool ran = bench::waitStation(pid, status, usage);
    m.wall = bench::wallSeconds() - start;
    m.stationCpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    fleet.stop();
    m.terminalsCpu = fleet.cpuSeconds();
    m.updated = ran && status == 0;
    for (int k = 0; k < terminals; ++k) {
        const QList<sim::Download> done = fleet.record(k).completeDownloads();
        m.updated = m.updated && done.size() == 1 && done.first().content.size() == plainSize;
    }
    QFile said(errors);
    if (!m.updated && said.open(QIODevice::ReadOnly))
        std::fprintf(stderr, "%s", said.readAll().constData());
    return m;
}

// The CPU time of one listing of the system's serial ports, with `ports` mocked devices
// plugged in: what the station does once a second for all its jobs.
double listingCpu(int ports)
{
    sim::Fleet fleet;
    const QByteArray previous = qgetenv("UMOCKDEV_DIR");
    qputenv("UMOCKDEV_DIR", fleet.root().toLocal8Bit());
    const QString base = QStringLiteral("ttyBL%1_").arg(QCoreApplication::applicationPid());
    for (int k = 0; k < ports; ++k) {
        sim::DeviceOptions device;
        device.vendor = QStringLiteral("Tarvenix");
        device.serial = QStringLiteral("LIST%1").arg(k);
        if (!fleet.add(base + QString::number(k), device))
            return -1;
    }
    constexpr int kListings = 20;
    const double before = bench::threadCpuSeconds();
    int seen = 0;
    for (int i = 0; i < kListings; ++i)
        seen += QSerialPortInfo::availablePorts().size();
    const double cpu = (bench::threadCpuSeconds() - before) / kListings;
    qputenv("UMOCKDEV_DIR", previous);
    return seen == kListings * ports ? cpu : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    bool shortRun = false;
    if (!bench::parseMode(argc, argv, shortRun))
        return 2;
    const Sizes sizes = shortRun ? shortSizes() : Sizes();
    const int plainSize = sizes.plainKiB * 1024;
#ifdef VARDEL_TEST_TIMINGS
    if (shortRun)
        qputenv("VARDEL_TEST_TIMINGS", "requestDelayMs=2,shortDelayMs=1,perFileActivationMs=5,"
                                       "hterminalDelayMs=5,applicationPauseMs=1");
#endif
    QCoreApplication application(argc, argv);
    QTemporaryDir dir; // the package, and the station's log (its working directory)
    QDir::setCurrent(dir.path());
    const QString package = dir.filePath(QStringLiteral("configuration"));
    if (!fixture::writePackage(package) ||
        !fixture::write(package + QStringLiteral("/app.bin"),
                        pack::seal(QByteArray(plainSize, 'v'))) ||
        !fixture::write(package + QStringLiteral("/configuration.xml"),
                        fixture::signXml(fixture::unsignedXml(), package + QLatin1Char('/')))) {
        std::fprintf(stderr, "cannot write the package\n");
        return 1;
    }

    std::printf("vardel-station, %d KiB package, terminals at 9600 baud (replies in pieces of 16 "
                "bytes, 30 ms of work per frame), shipped waits:\n",
                sizes.plainKiB);
    std::printf("  terminals  wall (s)  vs one  station CPU (s)  of one core  terminals' CPU (s)\n");
    double reference = 0;
    bool allUpdated = true;
    for (int terminals : sizes.terminals) {
        const Measure m = measure(terminals, package, plainSize);
        if (terminals == 1)
            reference = m.wall;
        allUpdated = allUpdated && m.updated;
        std::printf("  %9d  %8.2f  %6.3f  %15.3f  %9.2f %%  %17.3f%s\n", terminals, m.wall,
                    reference > 0 ? m.wall / reference : 0.0, m.stationCpu,
                    m.wall > 0 ? 100.0 * m.stationCpu / m.wall : 0.0, m.terminalsCpu,
                    m.updated ? "" : "  FAILED");
        std::fflush(stdout);
    }
    if (shortRun)
        std::printf("  goal: 4 terminals at most 1.15 times one\n");
    else
        std::printf(
            "  goals: 4 terminals at most 1.15 times one; 8 terminals under 10 %% of one core\n");

    const int waiting = sizes.waiting;
    const Measure waits =
        measure(waiting, package, plainSize, sizes.rebootSilenceMs, sizes.rebootWindowSeconds);
    allUpdated = allUpdated && waits.updated;
    const double listing = listingCpu(waiting);
    // Before: each job listed every port at each try of its wait, once a second while its
    // terminal was away (and twice: to find it again, then to open it).
    const double perJob = waiting * listing;
    std::printf("\n%d terminals in their reboot wait (deaf for %d s), over %.0f s of it:\n",
                waiting, sizes.rebootSilenceMs / 1000, sizes.rebootWindowSeconds);
    std::printf("  station CPU: %.2f %% of one core%s%s\n", 100.0 * waits.waitCpu,
                waits.updated ? "" : "  (the run FAILED)",
                waits.windowDeaf ? "" : "  (NOT over the silence: a terminal was not deaf)");
    std::printf("  reference: one listing of %d ports costs %.2f ms of CPU; a listing by every "
                "job every second would cost %.1f %% of one core (%.1f times the station's)\n",
                waiting, 1000 * listing, 100.0 * perJob,
                waits.waitCpu > 0 ? perJob / waits.waitCpu : 0.0);
    std::printf("  goal: under 5 %% of one core\n");
    return allUpdated && waits.waitCpu >= 0 && waits.windowDeaf && listing >= 0 ? 0 : 1;
}
