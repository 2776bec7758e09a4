// vardel-sim: a simulated terminal on a tty, or simulated terminals on mocked serial devices that a
// command uses.
#include "fleet.h"
#include "options.h"
#include "system/versionoption.h"
#include "terminal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace {

// The signal may land on any thread (the terminals serve theirs): a lock-free atomic is safe
// to read in the handler whichever thread runs it, where a sig_atomic_t is only for its own.
std::atomic<pid_t> gChild{0};
static_assert(std::atomic<pid_t>::is_always_lock_free, "read in a signal handler");

void say(const QString &text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// The signals handed on to COMMAND, as a shell's job would get them.
constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// A signal sent to this process (kill, a supervisor) is handed on to COMMAND. One the terminal
// sent (Ctrl-C, Ctrl-\) has reached COMMAND already: it is in the same foreground process
// group, and must not get it twice.
void forwardSignal(int signal, siginfo_t *info, void *)
{
    const int saved = errno; // kill() may set it under the interrupted code's feet
    const bool fromTerminal = info && info->si_code == SI_KERNEL;
    if (const pid_t child = gChild.load(); child > 0 && !fromTerminal)
        ::kill(child, signal);
    errno = saved;
}

// COMMAND starts as a shell would start it: every signal at its default disposition and none
// blocked, whatever this process inherited (a test harness that ignores SIGPIPE, say).
bool shellAttributes(posix_spawnattr_t &attributes)
{
    sigset_t defaults;
    sigset_t none;
    sigemptyset(&defaults);
    sigemptyset(&none);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            sigaddset(&defaults, signal); // refused for the C library's own: they stay as they are
    }
    return posix_spawnattr_init(&attributes) == 0 &&
           posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
           posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
           posix_spawnattr_setflags(&attributes,
                                    short(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK)) == 0;
}

// --control: "plug K" and "unplug K", one a line, on standard input, until it ends or `stop`
// is written to.
void readControl(sim::Fleet &fleet, int stop)
{
    QByteArray pending;
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stop, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        pending.append(buffer, int(n));
        for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QList<QByteArray> words = pending.left(end).simplified().split(' ');
            pending.remove(0, end + 1);
            bool number = false;
            const int k = words.size() == 2 ? words.at(1).toInt(&number) : -1;
            if (!number || k < 0 || k >= fleet.size() ||
                (words.at(0) != "plug" && words.at(0) != "unplug")) {
                say(QStringLiteral("vardel-sim: --control: not understood: ") +
                    QString::fromLocal8Bit(words.join(' ')));
                continue;
            }
            if (words.at(0) == "unplug")
                fleet.unplug(k);
            else if (!fleet.plug(k))
                say(QStringLiteral("vardel-sim: --control: device %1 could not be plugged in")
                        .arg(k));
        }
    }
}

// The modem-line shim: beside an installed vardel-sim, or in the build tree it was built in.
QString findShim()
{
    const QString exeDir =
        QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absolutePath();
    const QString built = QStringLiteral(VARDEL_SHIM_BUILD);
    QStringList candidates;
    if (exeDir == QFileInfo(QStringLiteral(VARDEL_SIM_BUILD_DIR)).canonicalFilePath())
        candidates << built;
    candidates << exeDir + QLatin1Char('/') + QStringLiteral(VARDEL_SHIM_RELATIVE)
               << QStringLiteral(VARDEL_SHIM_INSTALL) << built;
    for (const QString &candidate : candidates) {
        if (QFileInfo::exists(candidate))
            return QFileInfo(candidate).absoluteFilePath();
    }
    return QString();
}

QString umockdevPreload()
{
    const QString configured = QStringLiteral(VARDEL_UMOCKDEV_PRELOAD);
    return QFileInfo::exists(configured) ? configured : QStringLiteral("libumockdev-preload.so.0");
}

// The shim before umockdev (umockdev answers every ioctl on a mocked tty itself), then whatever
// the caller preloaded already; a sanitizer runtime the caller preloaded goes first of all,
// since umockdev reaches libc past the sanitizer's interceptors.
void preparePreload(const QString &shim)
{
    QStringList runtimes;
    QStringList preload{shim, umockdevPreload()};
    const QStringList previous =
        QString::fromLocal8Bit(qgetenv("LD_PRELOAD")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &entry : previous) {
        const QString name = QFileInfo(entry).fileName();
        if (name.startsWith(QLatin1String("libasan")) || name.startsWith(QLatin1String("libtsan")))
            runtimes << entry;
        else if (!preload.contains(entry) && !name.contains(QLatin1String("umockdev-preload")) &&
                 name != QFileInfo(shim).fileName())
            preload << entry;
    }
    preload = runtimes + preload;
    qputenv("LD_PRELOAD", preload.join(QLatin1Char(':')).toLocal8Bit());
    // An AddressSanitizer build of COMMAND would refuse to start behind preloaded libraries.
    QByteArray asan = qgetenv("ASAN_OPTIONS");
    if (!asan.contains("verify_asan_link_order"))
        qputenv("ASAN_OPTIONS", asan + (asan.isEmpty() ? "" : ":") + "verify_asan_link_order=0");
}

int exitCodeOf(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

void saveDownloads(const sim::Record &record, const QString &dir)
{
    if (dir.isEmpty())
        return;
    QDir().mkpath(dir);
    for (const sim::Download &download : record.completeDownloads()) {
        const QString name = QString::fromLocal8Bit(download.name);
        if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") ||
            name == QLatin1String("..")) {
            say(QStringLiteral("vardel-sim: not saved, unsafe name: ") + name);
            continue;
        }
        QFile file(QDir(dir).filePath(name));
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(download.content) != download.content.size())
            say(QStringLiteral("vardel-sim: cannot write ") + file.fileName());
    }
}

void finish(const sim::Options &options, const sim::Terminal &terminal)
{
    const sim::Record record = terminal.record();
    saveDownloads(record, options.saveDir);
    if (options.quiet)
        return;
    const QStringList lines = sim::summary(record).split(QLatin1Char('\n'));
    for (const QString &line : lines)
        say(QStringLiteral("vardel-sim: ") + line);
}

// With several devices, each one's downloads go to a folder named after its first port.
void finish(const sim::Options &options, const sim::Fleet &fleet)
{
    for (int k = 0; k < fleet.size(); ++k) {
        const bool several = options.deviceCount > 0;
        saveDownloads(fleet.record(k), several && !options.saveDir.isEmpty()
                                           ? QDir(options.saveDir).filePath(fleet.names(k).first())
                                           : options.saveDir);
        if (options.quiet)
            continue;
        const QString text = several ? sim::fleetSummary(fleet, k) : sim::summary(fleet.record(k));
        const QStringList lines = text.split(QLatin1Char('\n'));
        for (const QString &line : lines)
            say(QStringLiteral("vardel-sim: ") + line);
    }
}

int runMock(const sim::Options &options)
{
    const QString shim = findShim();
    if (shim.isEmpty()) {
        say(QStringLiteral("vardel-sim: the modem-line shim (libvardel-modemshim.so) is missing"));
        return 125;
    }
    sim::Fleet fleet;
    const QStringList names = sim::deviceNames(options, qint64(::getpid()));
    for (int k = 0; k < names.size(); ++k) {
        if (!fleet.add(names.at(k), options.devices.at(k))) {
            say(QStringLiteral("vardel-sim: no mocked device ") + names.at(k));
            return 125;
        }
    }
    preparePreload(shim);
    qputenv("UMOCKDEV_DIR", fleet.root().toLocal8Bit());

    std::vector<QByteArray> storage;
    std::vector<char *> argv;
    for (const QString &argument : options.command)
        storage.push_back(argument.toLocal8Bit());
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    struct sigaction forward = {};
    forward.sa_sigaction = forwardSignal;
    forward.sa_flags = SA_SIGINFO;
    for (int signal : kForwarded)
        ::sigaction(signal, &forward, nullptr);
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.control) // standard input is ours
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!shellAttributes(attributes)) {
        say(QStringLiteral("vardel-sim: cannot prepare the command's signals"));
        fleet.stop();
        return 125;
    }
    int stopControl[2] = {-1, -1};
    std::thread control;
    if (options.control && ::pipe2(stopControl, O_CLOEXEC) == 0)
        control = std::thread(readControl, std::ref(fleet), stopControl[0]);
    fleet.startSchedule();
    pid_t child = 0;
    const int spawned =
        ::posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    const auto stopReading = [&] {
        if (!control.joinable())
            return;
        (void)!::write(stopControl[1], "x", 1);
        control.join();
        ::close(stopControl[0]);
        ::close(stopControl[1]);
    };
    if (spawned != 0) {
        say(QStringLiteral("vardel-sim: cannot run %1: %2")
                .arg(options.command.first(), QString::fromLocal8Bit(std::strerror(spawned))));
        stopReading();
        fleet.stop();
        return 127;
    }
    gChild.store(child);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    gChild.store(0);
    stopReading();
    fleet.stop();
    finish(options, fleet);
    return exitCodeOf(status);
}

int runTty(const sim::Options &options)
{
    const int fd = ::open(options.tty.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        say(QStringLiteral("vardel-sim: cannot open ") + options.tty);
        return 1;
    }
    // The terminal's line: raw, 9600 baud, 8N1, no flow control.
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B9600);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    // Only this thread takes the stop signals, and only here.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    sim::Terminal terminal(options.behaviour);
    if (!terminal.start(fd, false)) {
        ::close(fd);
        return 1;
    }
    say(QStringLiteral("vardel-sim: serving a terminal on %1 (Ctrl-C to stop)").arg(options.tty));
    int signal = 0;
    ::sigwait(&stopSignals, &signal);
    terminal.stop();
    ::close(fd);
    finish(options, terminal);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (versionoption::asked(argc, argv))
        return versionoption::print("vardel-sim");
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    sim::Options options;
    QString error;
    if (!sim::parseOptions(arguments, options, error)) {
        say(QStringLiteral("vardel-sim: ") + error + QStringLiteral("\n\n") + sim::usage());
        return 2;
    }
    if (options.help) {
        std::fputs(qPrintable(sim::usage()), stdout);
        return 0;
    }
    return options.mode == sim::Options::Mode::Mock ? runMock(options) : runTty(options);
}
