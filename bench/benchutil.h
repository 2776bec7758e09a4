#pragma once

#include <QByteArray>
#include <QString>

#include <sys/resource.h>

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

// Starts `program` (vardel-station) on `package` with this process's environment, its output
// thrown away, and its messages too unless `errors` names a file to keep them in; its process
// id, or -1.
long startStation(const char *program, const QString &package, const QString &errors = {});
// Waits for it: its exit status (128 when a signal ended it) and its resource usage; false when
// it was not this process's child.
bool waitStation(long pid, int &status, rusage &usage);

} // namespace bench
