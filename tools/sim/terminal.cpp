#include "terminal.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

using Clock = Engine::Clock;

// While nobody holds the pty's other end, poll() reports a hang-up at once: look again this
// often instead of spinning.
constexpr int kHangupRetryMs = 5;

// The wait until `deadline` for ppoll(), to the nanosecond: a paced line needs better than
// poll()'s milliseconds. Null means no deadline.
const timespec *waitUntil(Clock::time_point deadline, Clock::time_point now, timespec &wait)
{
    if (deadline == Clock::time_point::max())
        return nullptr;
    const auto ns =
        deadline <= now
            ? 0
            : std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
    wait.tv_sec = time_t(ns / 1000000000);
    wait.tv_nsec = long(ns % 1000000000);
    return &wait;
}

} // namespace

Terminal::Terminal(const Behaviour &behaviour)
    : engine(behaviour),
      replayer(behaviour.replay ? std::make_unique<Replayer>(behaviour.replay) : nullptr),
      responder(replayer ? static_cast<Responder *>(replayer.get()) : &engine)
{
}

Terminal::~Terminal()
{
    stop();
}

bool Terminal::start(int descriptor, bool master)
{
    if (thread.joinable() || descriptor < 0)
        return false;
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) != 0) {
        ::close(wake[0]);
        ::close(wake[1]);
        return false;
    }
    fd = descriptor;
    ptyMaster = master;
    stopping = false;
    thread = std::thread(&Terminal::run, this);
    return true;
}

void Terminal::stop()
{
    if (!thread.joinable())
        return;
    stopping = true;
    const char byte = 0;
    (void)!::write(wake[1], &byte, 1);
    thread.join();
    ::close(wake[0]);
    ::close(wake[1]);
    wake[0] = wake[1] = -1;
}

void Terminal::setBehaviour(const Behaviour &behaviour)
{
    std::lock_guard<std::mutex> lock(mutex);
    engine.setBehaviour(behaviour);
}

Behaviour Terminal::behaviour() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return engine.behaviour();
}

Record Terminal::record() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return responder->record().detached(); // the engine goes on recording: see ownCopy()
}

Engine::Clock::time_point Terminal::lastReboot() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return engine.lastReboot();
}

// Whether the host holds the device open in raw mode. A pty whose other end is closed reports
// a hang-up; one that nobody configured echoes, and would send our replies back to us.
bool Terminal::peerListening() const
{
    pollfd p{fd, 0, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)))
        return false;
    termios tio{};
    return ::tcgetattr(fd, &tio) != 0 || !(tio.c_lflag & ECHO);
}

// Writes what it can of the head of the queue; false when the line would block.
bool Terminal::writePending(std::vector<Engine::Output> &queue, std::size_t &written)
{
    const QByteArray &bytes = queue.front().bytes;
    while (written < std::size_t(bytes.size())) {
        const ssize_t n = ::write(fd, bytes.constData() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return false;
        if (n <= 0) // the line is gone: the rest is lost
            break;
        written += std::size_t(n);
    }
    queue.erase(queue.begin());
    written = 0;
    return true;
}

void Terminal::run()
{
    std::vector<Engine::Output> queue; // in order of their due time
    std::vector<Engine::Output> fresh;
    std::size_t written = 0;
    bool blocked = false;
    bool hangup = false;
    char buffer[4096];

    while (!stopping) {
        Clock::time_point now = Clock::now();
        blocked = false;
        while (!queue.empty() && queue.front().due <= now) {
            if (ptyMaster && written == 0 && !peerListening()) {
                queue.erase(queue.begin());
                std::lock_guard<std::mutex> lock(mutex);
                responder->noteDroppedReply();
                continue;
            }
            if (!writePending(queue, written)) {
                blocked = true;
                break;
            }
        }

        Clock::time_point deadline =
            queue.empty() || blocked ? Clock::time_point::max() : queue.front().due;
        {
            std::lock_guard<std::mutex> lock(mutex);
            deadline = std::min(deadline, responder->idleDeadline());
        }
        pollfd fds[2] = {{fd, short(POLLIN | (blocked ? POLLOUT : 0)), 0}, {wake[0], POLLIN, 0}};
        if (hangup) {
            fds[0].fd = -1; // ignored by poll()
            deadline = std::min(deadline, now + std::chrono::milliseconds(kHangupRetryMs));
        }
        hangup = false;
        timespec wait{};
        if (::ppoll(fds, 2, waitUntil(deadline, now, wait), nullptr) < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            continue; // stopping

        fresh.clear();
        if (fds[0].revents & POLLIN) {
            for (;;) {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n > 0) {
                    std::lock_guard<std::mutex> lock(mutex);
                    responder->receive(buffer, int(n), Clock::now(), fresh);
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0 && errno == EIO)
                    hangup = true;
                break;
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            hangup = true;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            now = Clock::now();
            if (now >= responder->idleDeadline())
                responder->idle(now, fresh);
        }
        queue.insert(queue.end(), fresh.begin(), fresh.end());
    }

    timespec used{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) == 0)
        cpu += double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

QString summary(const Record &record)
{
    if (record.replayed) {
        QStringList lines;
        for (const QString &note : record.replayNotes)
            lines << QStringLiteral("replay: ") + note;
        lines << QStringLiteral("garbage bytes: %1, replies dropped on a closed line: %2")
                     .arg(record.garbageBytes)
                     .arg(record.droppedReplies);
        return lines.join(QLatin1Char('\n'));
    }
    QStringList counts;
    for (int i = 0; i < kCommandCount; ++i) {
        if (const int n = record.count(Command(i)))
            counts << commandName(Command(i)) + QLatin1Char(' ') + QString::number(n);
    }
    QString text = QStringLiteral("frames: ") +
                   (counts.isEmpty() ? QStringLiteral("none") : counts.join(QStringLiteral(", ")));
    text += QStringLiteral("\ngarbage bytes: %1, replies dropped on a closed line: %2")
                .arg(record.garbageBytes)
                .arg(record.droppedReplies);
    for (const Advertisement &ad : record.advertisements)
        text += QStringLiteral("\nadvertised: %1 %2%3")
                    .arg(QString::fromLatin1(ad.lengthText), QString::fromLatin1(ad.name),
                         ad.accepted ? QString() : QStringLiteral(" (not accepted)"));
    for (const Download &download : record.downloads)
        text +=
            QStringLiteral("\ndownload: %1, %2 of %3 bytes, %4")
                .arg(QString::fromLatin1(download.name))
                .arg(download.content.size())
                .arg(download.length)
                .arg(download.complete ? QStringLiteral("complete") : QStringLiteral("incomplete"));
    for (const QString &anomaly : record.anomalies)
        text += QStringLiteral("\nanomaly: ") + anomaly;
    return text;
}

} // namespace sim
