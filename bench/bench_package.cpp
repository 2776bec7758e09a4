// A large package on the station: 64 MiB (four sealed files of 16 MiB in two batches, with the
// picture and the hardware record), signed with the digests of its files. The station reads
// and checks it once and every terminal's installation sends those same bytes.
//
// Figures: the time to load and check the package (each file read once, its SHA-256 taken, its
// content decrypted), against reading the same files with no check, in this process; then
// vardel-station installing it on 8 simulated terminals until each has received its first data
// block, when it is interrupted: its resident size at that moment and its peak, against the
// package's size. Goal: under 200 MiB resident. The station must end as an interrupted run does
// (status 1): a crash, or an end before every terminal started, fails the benchmark.
//
// With --short: files of 4 MiB, a 16 MiB package, and a goal in proportion: of the 200 MiB, 40
// stand for the station itself (about 25 without a package here) and 160 for 64 MiB of package,
// so 40 + 160 / 4 = 80 MiB.
#include "benchmode.h"
#include "benchutil.h"
#include "config/configuration.h"
#include "crypto/aes.h"
#include "fleet.h"
#include "pack.h"
#include "packagefixture.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>

namespace {

constexpr int kFiles = 4;
constexpr int kTerminals = 8;
constexpr double kGoalMiB = 200;   // for 64 MiB
constexpr double kStationMiB = 40; // of the short run's goal: the station itself, with room

// The size of each sealed file: 16 MiB, or less in a short run. Set once, in main().
int fileSize = 16 * 1024 * 1024;

QString bigFile(int k)
{
    return QStringLiteral("big%1.bin").arg(k);
}

// The package in `dir`; false when it cannot be written.
bool writePackage(const QString &dir)
{
    if (!fixture::writeFiles(dir))
        return false;
    for (int k = 0; k < kFiles; ++k) {
        QByteArray plain(fileSize, '\0');
        for (int i = 0; i < plain.size(); i += 4096)
            plain[i] = char(k + i / 4096);
        if (!fixture::write(dir + bigFile(k), pack::seal(plain)))
            return false;
    }
    const QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration><terminal>"
                           "<image>terminal.png</image></terminal><hterm>hterm.bin</hterm>\n"
                           "<batch id=\"1\"><file>big0.bin</file><file>big1.bin</file></batch>\n"
                           "<batch id=\"2\"><file>big2.bin</file><file>big3.bin</file></batch>\n"
                           "</configuration>\n";
    const QByteArray signedXml = fixture::signXml(xml, dir);
    return !signedXml.isEmpty() &&
           fixture::write(dir + QStringLiteral("configuration.xml"), signedXml);
}

// The references of the load, in seconds: reading every file of the package with no check, and
// the two parts of the check on those bytes, their SHA-256 and their decryption.
struct Parts
{
    double read = 0;
    double digest = 0;
    double decrypt = 0;
};

Parts references(const QString &dir)
{
    Parts parts;
    QStringList names{QStringLiteral("configuration.xml"), QStringLiteral("terminal.png"),
                      QStringLiteral("hterm.bin")};
    for (int k = 0; k < kFiles; ++k)
        names << bigFile(k);
    for (const QString &name : names) {
        QByteArray bytes;
        regularfile::Failure failure;
        double start = bench::wallSeconds();
        (void)regularfile::read(dir + name, SealedFile::kMaxFileSize, bytes, failure);
        parts.read += bench::wallSeconds() - start;
        start = bench::wallSeconds();
        (void)QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
        parts.digest += bench::wallSeconds() - start;
        start = bench::wallSeconds();
        auto *data = reinterpret_cast<quint8 *>(bytes.data());
        decryptBuffer(data, quint32(bytes.size() / 16 * 16), data);
        parts.decrypt += bench::wallSeconds() - start;
    }
    return parts;
}

struct StationRun
{
    bool ready = false;      // every terminal received a data block
    double readySeconds = 0; // from the start
    double residentMiB = -1; // then
    double peakMiB = -1;     // over the run
    int status = -1;
};

// vardel-station against the terminals, interrupted once each has received a data block.
StationRun runStation(const QString &package, sim::Fleet &fleet)
{
    StationRun run;
    const double start = bench::wallSeconds();
    const long pid = bench::startStation(VARDEL_STATION_PATH, package);
    if (pid < 0)
        return run;
    while (!run.ready && bench::wallSeconds() - start < 120) {
        QThread::msleep(20);
        int started = 0;
        for (int k = 0; k < kTerminals; ++k)
            started += fleet.record(k).blockNumbers.isEmpty() ? 0 : 1;
        run.ready = started == kTerminals;
    }
    run.readySeconds = bench::wallSeconds() - start;
    run.residentMiB = bench::statusMiB("VmRSS", pid);
    ::kill(pid_t(pid), SIGINT);
    rusage usage{};
    if (bench::waitStation(pid, run.status, usage))
        run.peakMiB = double(usage.ru_maxrss) / 1024.0;
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    bool shortRun = false;
    if (!bench::parseMode(argc, argv, shortRun))
        return 2;
    if (shortRun)
        fileSize = 4 * 1024 * 1024;
    const double goalMiB = shortRun ? kStationMiB + (kGoalMiB - kStationMiB) / 4 : kGoalMiB;
    QCoreApplication application(argc, argv);
    QTemporaryDir dir; // the package, and the station's log (its working directory)
    QDir::setCurrent(dir.path());
    const QString package = dir.filePath(QStringLiteral("configuration")) + QLatin1Char('/');
    if (!writePackage(package)) {
        std::fprintf(stderr, "cannot write the package\n");
        return 1;
    }
    const double packageMiB = double(kFiles) * fileSize / (1024 * 1024);
    std::printf("package: %.0f MiB in %d sealed files, two batches, signed with their digests\n",
                packageMiB, kFiles);

    // Load and check in this process, as the station does; the files are in the page cache.
    const Parts reference = references(package);
    Configuration loaded(package);
    const double start = bench::wallSeconds();
    const bool valid = loaded.loadChecked();
    const double load = bench::wallSeconds() - start;
    std::printf("  load and check (read once, SHA-256, decrypt): %.3f s = x%.1f reading the files "
                "alone (%.3f s)%s\n",
                load, load / reference.read, reference.read, valid ? "" : "  REFUSED");
    std::printf("    for reference on the same bytes: SHA-256 %.3f s, decryption %.3f s, together "
                "x%.2f of the load\n",
                reference.digest, reference.decrypt,
                (reference.read + reference.digest + reference.decrypt) / load);

    sim::Fleet fleet;
    qputenv("UMOCKDEV_DIR", fleet.root().toLocal8Bit());
    const QString base = QStringLiteral("ttyBP%1_").arg(QCoreApplication::applicationPid());
    for (int k = 0; k < kTerminals; ++k) {
        sim::DeviceOptions device;
        device.behaviour.setCatalogue(0x12, 0x34, 0x56); // the package's hardware record
        device.vendor = QStringLiteral("Tarvenix");
        device.serial = QStringLiteral("BENCH%1").arg(k);
        if (!fleet.add(base + QString::number(k), device)) {
            std::fprintf(stderr, "no mocked device (run with the shim and umockdev preloaded)\n");
            return 1;
        }
    }
    const StationRun run = runStation(package, fleet);
    fleet.stop();
    const bool met = run.ready && run.peakMiB > 0 && run.peakMiB < goalMiB;
    std::printf("vardel-station, %d terminals, each up to its first data block (%.1f s with the "
                "shipped waits), then interrupted (exit status %d):\n",
                kTerminals, run.readySeconds, run.status);
    std::printf("  resident then: %.1f MiB = x%.2f the package; peak over the run: %.1f MiB = "
                "x%.2f the package%s\n",
                run.residentMiB, run.residentMiB / packageMiB, run.peakMiB,
                run.peakMiB / packageMiB, run.ready ? "" : "  NOT EVERY TERMINAL STARTED");
    std::printf("  goal: under %.0f MiB resident: %s\n", goalMiB, met ? "met" : "MISSED");
    return valid && met && run.status == 1 ? 0 : 1;
}
