// Line efficiency: a 16 KiB download to a simulated terminal on a 9600-baud line that hands its
// replies over 16 bytes at a time and works 30 ms on each frame, against the ideal time of the
// same exchange (every byte at 9600 baud 8N1, the terminal's work and the protocol's fixed wait,
// no other gap). Goals: at least 98 % of the ideal, and the host thread's CPU at most 5 % of
// the time. A failed download, or one the terminal did not receive whole, makes the benchmark
// exit non-zero. With --short: a 1 KiB download.
#include "benchmode.h"
#include "benchutil.h"
#include "config/records.h"
#include "link/serialport.h"
#include "mockbed.h"
#include "model/model.h"
#include "sealing.h"
#include "simrig.h"
#include "terminal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char *argv[])
{
    bool shortRun = false;
    if (!bench::parseMode(argc, argv, shortRun))
        return 2;
    QCoreApplication application(argc, argv);
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    const std::string name = "ttyLINE" + std::to_string(QCoreApplication::applicationPid());
    mockbed::Testbed bed;
    if (!bed.add({name, "Tarvenix", "Terminal_USB"})) {
        std::fprintf(stderr, "no mocked device (run with the shim and umockdev preloaded)\n");
        return 1;
    }
    constexpr int kWorkMs = 30;
    sim::Behaviour behaviour;
    behaviour.pace9600 = true;
    behaviour.pieceSize = 16;
    behaviour.workMs = kWorkMs;
    behaviour.finalAckDelayMs = 0; // confirmed with the last block's work
    sim::Terminal terminal(behaviour);
    if (!terminal.start(bed.masterFd(name), true))
        return 1;

    const int plainKiB = shortRun ? 1 : 16;
    const int blocks = (plainKiB * 1024 + 121) / 122;
    const QByteArray plain(plainKiB * 1024, 'v');
    QFile file(QStringLiteral("line.bin"));
    if (!file.open(QIODevice::WriteOnly) || file.write(sealing::seal(plain)) <= 0)
        return 1;
    file.close();
    // The file is read and decrypted once, as the package check does, before the download.
    Application app(QDir(dir.path()).filePath(QStringLiteral("line.bin")));
    SimRig::readContent(app);
    if (app.status != SealedFile::Status::Ok) {
        std::fprintf(stderr, "the file could not be read back\n");
        return 1;
    }

    Model model; // the shipped waits
    if (!model.getSerialPort()->open(QString::fromStdString(name) +
                                     QStringLiteral(" - (Terminal USB)")) ||
        !model.sendInfo(&app) || !model.getAuthorization()) {
        std::fprintf(stderr, "the simulated terminal did not accept the file\n");
        return 1;
    }
    const double wall = bench::wallSeconds();
    const double cpu = bench::threadCpuSeconds();
    const bool loaded = model.load(&app);
    const double measured = bench::wallSeconds() - wall;
    const double hostCpu = bench::threadCpuSeconds() - cpu;
    model.getSerialPort()->close();
    terminal.stop();
    const QList<sim::Download> downloads = terminal.record().completeDownloads();
    const bool whole = loaded && !downloads.isEmpty() && downloads.last().content == plain;

    // Start block and its reply, every data block and its reply, the final acknowledgement;
    // the terminal works on the start block and on every data block.
    const int bytes = 32 + 32 + blocks * (128 + 32) + 32;
    const double lineTime = bytes * 10.0 / 9600.0;
    const double workTime = (1 + blocks) * kWorkMs / 1000.0;
    const double fixedWait = 0.2; // before the start block
    const double ideal = lineTime + workTime + fixedWait;
    const double efficiency = 100.0 * ideal / measured;
    const double cpuShare = 100.0 * hostCpu / measured;
    std::printf("%d KiB download at 9600 baud, replies in pieces of 16 bytes, %d ms of work per "
                "frame:\n  %d data blocks, %d bytes on the line\n",
                plainKiB, kWorkMs, blocks, bytes);
    std::printf("  ideal: line %.3f s + work %.3f s + fixed wait %.3f s = %8.3f s\n", lineTime,
                workTime, fixedWait, ideal);
    std::printf("  measured load()               %8.3f s (%s)\n", measured,
                loaded ? "confirmed" : "FAILED");
    std::printf("  efficiency                    %8.2f %% (goal: at least 98 %%)\n", efficiency);
    std::printf("  overhead per block            %8.3f ms\n", 1e3 * (measured - ideal) / blocks);
    std::printf("  CPU of the host thread        %8.3f s, %.2f %% of the time (goal: at most "
                "5 %%)\n",
                hostCpu, cpuShare);
    if (loaded && !whole)
        std::fprintf(stderr, "the terminal did not receive the file whole\n");
    return whole ? 0 : 1;
}
