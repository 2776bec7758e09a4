// Station scaling: vardel-station updating 1, 2, 4 and 8 simulated terminals at once, each on a
// 9600-baud line whose terminal hands its replies over 16 bytes at a time and works 30 ms on
// each frame, with a 16 KiB package and the shipped waits. Reference: the same run with one
// terminal. Goals: with 4 terminals, at most 1.15 times the wall time of one; with 8, the
// station's process under 10 % of one core.
//
// The terminals are served by this program (sim::Fleet, one thread per terminal); the station
// is a process of its own, whose CPU time wait4() reports: the terminals' CPU is not in it, and
// is printed apart. A failed update makes the benchmark exit non-zero.
#include "benchutil.h"
#include "fleet.h"
#include "pack.h"
#include "packagefixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int kPlainSize = 16 * 1024;

struct Measure
{
    bool updated = false;
    double wall = 0;       // the station's process, start to exit
    double stationCpu = 0; // its user and system time
    double terminalsCpu = 0;
};

double seconds(const timeval &t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

Measure measure(int terminals, const QString &package)
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
        device.behaviour.setCatalogue(0x12, 0x34, 0x56); // the package's hardware record
        device.vendor = QStringLiteral("Tarvenix");
        device.serial = QStringLiteral("BENCH%1").arg(k);
        if (!fleet.add(base + QString::number(k), device)) {
            std::fprintf(stderr, "no mocked device (run with the shim and umockdev preloaded)\n");
            return m;
        }
    }
    int status = -1;
    rusage usage{};
    const double start = bench::wallSeconds();
    const bool ran =
        bench::waitStation(bench::startStation(VARDEL_STATION_PATH, package), status, usage);
    m.wall = bench::wallSeconds() - start;
    m.stationCpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    fleet.stop();
    m.terminalsCpu = fleet.cpuSeconds();
    m.updated = ran && status == 0;
    for (int k = 0; k < terminals; ++k) {
        const QList<sim::Download> done = fleet.record(k).completeDownloads();
        m.updated = m.updated && done.size() == 1 && done.first().content.size() == kPlainSize;
    }
    return m;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QTemporaryDir dir; // the package, and the station's log (its working directory)
    QDir::setCurrent(dir.path());
    const QString package = dir.filePath(QStringLiteral("configuration"));
    if (!fixture::writePackage(package) ||
        !fixture::write(package + QStringLiteral("/app.bin"),
                        pack::seal(QByteArray(kPlainSize, 'v'))) ||
        !fixture::write(package + QStringLiteral("/configuration.xml"),
                        fixture::signXml(fixture::unsignedXml(), package + QLatin1Char('/')))) {
        std::fprintf(stderr, "cannot write the package\n");
        return 1;
    }

    std::printf("vardel-station, 16 KiB package, terminals at 9600 baud (replies in pieces of 16 "
                "bytes, 30 ms of work per frame), shipped waits:\n");
    std::printf(
        "  terminals  wall (s)  vs one  station CPU (s)  of one core  terminals' CPU (s)\n");
    double reference = 0;
    bool allUpdated = true;
    for (int terminals : {1, 2, 4, 8}) {
        const Measure m = measure(terminals, package);
        if (terminals == 1)
            reference = m.wall;
        allUpdated = allUpdated && m.updated;
        std::printf("  %9d  %8.2f  %6.3f  %15.3f  %9.2f %%  %17.3f%s\n", terminals, m.wall,
                    reference > 0 ? m.wall / reference : 0.0, m.stationCpu,
                    m.wall > 0 ? 100.0 * m.stationCpu / m.wall : 0.0, m.terminalsCpu,
                    m.updated ? "" : "  FAILED");
    }
    std::printf(
        "  goals: 4 terminals at most 1.15 times one; 8 terminals under 10 %% of one core\n");
    return allUpdated ? 0 : 1;
}
