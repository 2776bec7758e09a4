#include "benchutil.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace bench {

namespace {

double clockSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

} // namespace

double wallSeconds()
{
    return clockSeconds(CLOCK_MONOTONIC);
}

double threadCpuSeconds()
{
    return clockSeconds(CLOCK_THREAD_CPUTIME_ID);
}

double processCpuSeconds()
{
    return clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

double statusMiB(const char *field, long pid)
{
    QFile status(pid == 0 ? QStringLiteral("/proc/self/status")
                          : QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix)) // "VmRSS:     12345 kB"
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

BarePeer::BarePeer(int masterFd, int request, int reply)
    : fd(masterFd), requestSize(request), replySize(reply)
{
    if (::pipe(wake) != 0)
        wake[0] = wake[1] = -1;
    thread = std::thread(&BarePeer::run, this);
}

BarePeer::~BarePeer()
{
    stop();
    ::close(wake[0]);
    ::close(wake[1]);
}

void BarePeer::stop()
{
    if (!thread.joinable())
        return;
    const char byte = 0;
    (void)!::write(wake[1], &byte, 1);
    thread.join();
}

void BarePeer::run()
{
    const QByteArray reply(replySize, '\x55');
    char buffer[4096];
    int pending = 0;
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            break;
        if (fds[0].revents & POLLHUP) { // nobody on the other end yet
            ::usleep(1000);
            continue;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        pending += int(n);
        while (pending >= requestSize) {
            pending -= requestSize;
            (void)!::write(fd, reply.constData(), size_t(reply.size()));
        }
    }
    cpu = clockSeconds(CLOCK_THREAD_CPUTIME_ID);
}

int openRaw(const QString &deviceName)
{
    const int fd =
        ::open((QStringLiteral("/dev/") + deviceName).toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B9600);
    ::tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

long startStation(const char *program, const QString &package, const QString &errors)
{
    QByteArray path(program);
    QByteArray option("--package");
    QByteArray directory = package.toLocal8Bit();
    const QByteArray errorFile = errors.toLocal8Bit();
    char *argv[] = {path.data(), option.data(), directory.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!errors.isEmpty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.constData(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? long(pid) : -1;
}

bool waitStation(long pid, int &status, rusage &usage)
{
    int raw = 0;
    if (pid < 0 || ::wait4(pid_t(pid), &raw, 0, &usage) != pid_t(pid))
        return false;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
    return true;
}

} // namespace bench
