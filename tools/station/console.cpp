#include "console.h"

#include "station/writeall.h"

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace console {

namespace {

// Beyond this much text waiting for a stalled reader, new text is dropped (the log, the JSON
// and the journal keep everything); a note says so once the stream moves again.
constexpr qsizetype kMostQueued = 4 * 1024 * 1024;

struct Stream
{
    int fd;
    std::atomic<bool> closed{false};
};

Stream gOut{STDOUT_FILENO};
Stream gErr{STDERR_FILENO};

// Texts in the order they were given, whichever stream they are for: a live drawing wiped on
// standard output must be wiped before the message on standard error that follows it.
struct Piece
{
    Stream *stream;
    QByteArray bytes;
};

std::mutex gMutex; // guards what follows
std::condition_variable gWake;
std::deque<Piece> gQueue;
qsizetype gQueued = 0; // bytes in gQueue
qint64 gDropped = 0;   // texts refused while the queue was full
bool gStopping = false;
bool gFinished = false; // the thread has written everything and ends
std::thread gThread;

void put(Stream &stream, const QByteArray &bytes)
{
    // EPIPE, EIO after a hang-up, a full disk: the stream takes no more.
    if (!stream.closed && writeAll(stream.fd, bytes) < bytes.size())
        stream.closed = true;
}

void queue(Stream &stream, const QString &text)
{
    if (stream.closed)
        return;
    const QByteArray bytes = text.toUtf8();
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gThread.joinable()) {
        put(stream, bytes);
        return;
    }
    if (gQueued + bytes.size() > kMostQueued) {
        ++gDropped;
        return;
    }
    gQueue.push_back({&stream, bytes});
    gQueued += bytes.size();
    gWake.notify_all();
}

void run()
{
    std::unique_lock<std::mutex> lock(gMutex);
    for (;;) {
        gWake.wait(lock, [] { return gStopping || !gQueue.empty(); });
        if (gQueue.empty()) {
            gFinished = true; // stopping, and everything written
            gWake.notify_all();
            return;
        }
        std::deque<Piece> pieces;
        std::swap(pieces, gQueue);
        const qint64 dropped = gDropped;
        gDropped = 0;
        gQueued = 0;
        lock.unlock();
        for (const Piece &piece : pieces)
            put(*piece.stream, piece.bytes);
        if (dropped > 0)
            put(gErr, QStringLiteral("[%1 messages non affichés : la sortie ne suivait pas]\n")
                          .arg(dropped)
                          .toUtf8());
        lock.lock();
    }
}

} // namespace

void start()
{
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gThread.joinable())
        gThread = std::thread(run);
}

void out(const QString &text)
{
    queue(gOut, text);
}

void err(const QString &text)
{
    queue(gErr, text);
}

bool outputClosed()
{
    return gOut.closed;
}

bool finish()
{
    std::unique_lock<std::mutex> lock(gMutex);
    if (!gThread.joinable())
        return true;
    gStopping = true;
    gWake.notify_all();
    const bool written = gWake.wait_for(lock, std::chrono::milliseconds(kFinishWaitMs),
                                        [] { return gFinished; });
    if (!written) {
        // A reader that does not read holds the thread in a write: it stays there, what is
        // left is dropped, and nothing more is written.
        gOut.closed = true;
        gErr.closed = true;
        gQueue.clear();
        gThread.detach();
        return false;
    }
    lock.unlock();
    gThread.join();
    lock.lock();
    gStopping = false;
    gFinished = false;
    return true;
}

} // namespace console
