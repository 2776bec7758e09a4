// Line efficiency: a 16 KiB download to a simulated terminal whose line runs at 9600 baud,
// against the ideal stop-and-wait time of the same bytes at 9600 baud, 8N1, without gaps.
#include "benchutil.h"
#include "config/records.h"
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

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    const std::string name = "ttyLINE" + std::to_string(QCoreApplication::applicationPid());
    mockbed::Testbed bed;
    if (!bed.add({name, "Tarvenix", "Terminal_USB"})) {
        std::fprintf(stderr, "no mocked device (run with the shim and umockdev preloaded)\n");
        return 1;
    }
    sim::Behaviour behaviour;
    behaviour.pace9600 = true;
    behaviour.finalAckDelayMs = 0; // the terminal answers as soon as the line allows
    sim::Terminal terminal(behaviour);
    if (!terminal.start(bed.masterFd(name), true))
        return 1;

    constexpr int kPlainSize = 16 * 1024;
    constexpr int kBlocks = (kPlainSize + 121) / 122;
    QFile file(QStringLiteral("line.bin"));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(sealing::seal(QByteArray(kPlainSize, 'v'))) <= 0)
        return 1;
    file.close();
    Application app(QDir(dir.path()).filePath(QStringLiteral("line.bin")));

    Model model(nullptr); // the shipped waits
    bool skipped = false;
    if (!model.getSerialPort()->open(QString::fromStdString(name) +
                                     QStringLiteral(" - (Terminal USB)")) ||
        !model.sendInfo(&app, skipped) || !model.getAuthorization()) {
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

    // Start block and its reply, every data block and its reply, the final acknowledgement.
    const int bytes = 32 + 32 + kBlocks * (128 + 32) + 32;
    const double ideal = bytes * 10.0 / 9600.0;
    const double fixedWait = 0.2; // before the start block
    std::printf("16 KiB download at 9600 baud: %d data blocks, %d bytes on the line\n", kBlocks,
                bytes);
    std::printf("  ideal stop-and-wait time      %8.3f s\n", ideal);
    std::printf("  measured load()               %8.3f s (%s)\n", measured,
                loaded ? "confirmed" : "FAILED");
    std::printf("  efficiency                    %8.2f %%\n", 100.0 * ideal / measured);
    std::printf("  efficiency without the 200 ms wait before the start block %.2f %%\n",
                100.0 * ideal / (measured - fixedWait));
    std::printf("  overhead per block            %8.3f ms\n",
                1e3 * (measured - fixedWait - ideal) / kBlocks);
    std::printf("  CPU of the host thread        %8.3f s (%.0f %% of the time: the exact read "
                "polls)\n",
                hostCpu, 100.0 * hostCpu / measured);
    return loaded ? 0 : 1;
}
