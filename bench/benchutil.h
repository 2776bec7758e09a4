#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <thread>

// Clocks and a bare peer shared by the benchmarks.
namespace bench {

double wallSeconds();       // monotonic
double threadCpuSeconds();  // the calling thread
double processCpuSeconds(); // every thread of the process
// A size line of /proc/PID/status ("VmRSS", "VmHWM") in MiB; 0 pid: this process. -1 when it
// cannot be read.
double statusMiB(const char *field, long pid = 0);

// The other end of a stop-and-wait exchange without any protocol: reads `request` bytes from
// the pty master, writes `reply` bytes back, until stopped. No parsing, no CRC.
class BarePeer
{
public:
    BarePeer(int masterFd, int request, int reply);
    ~BarePeer();
    double cpuSeconds() const { return cpu; } // once stopped
    void stop();

private:
    void run();
    int fd;
    int requestSize;
    int replySize;
    int wake[2];
    std::thread thread;
    double cpu = 0;
};

// Opens /dev/NAME raw at 9600 8N1 with plain POSIX calls, or -1.
int openRaw(const QString &deviceName);

} // namespace bench
