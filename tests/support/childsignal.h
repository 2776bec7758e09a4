#pragma once

#include <QDir>
#include <QFile>

#include <csignal>
#include <pthread.h>
#include <unistd.h>

// QProcess learns that its child has ended from SIGCHLD. Under ThreadSanitizer a signal that the
// kernel hands to a thread asleep in a condition wait (QTest's watchdog, asleep for a whole test
// function) is held until that thread wakes: a child's end went unseen for minutes, and the test
// waited on a process that had long ended. A test program that runs processes blocks the signal
// before QTest starts its threads (kChildSignalBlocked below, set before main) and takes it back
// on the main thread first thing in initTestCase(), where QProcess waits for it.
namespace childsignal {

inline sigset_t childOnly()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    return set;
}

// SIGCHLD blocked in the calling thread and every thread it starts from now on.
inline bool blockInNewThreads()
{
    const sigset_t set = childOnly();
    return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

// The calling thread takes SIGCHLD again; true when it is now the only thread of the process
// that does (the kernel's view, from /proc/self/task/*/status).
inline bool takeHere()
{
    const sigset_t set = childOnly();
    if (::pthread_sigmask(SIG_UNBLOCK, &set, nullptr) != 0)
        return false;
    const QString self = QString::number(::gettid());
    const QDir tasks(QStringLiteral("/proc/self/task"));
    const QStringList threads = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &thread : threads) {
        QFile status(tasks.filePath(thread + QStringLiteral("/status")));
        if (!status.open(QIODevice::ReadOnly))
            continue; // ended meanwhile
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (!line.startsWith("SigBlk:"))
                continue;
            const bool blocked =
                (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGCHLD - 1)) & 1;
            if (blocked == (thread == self))
                return false;
        }
    }
    return !threads.isEmpty();
}

} // namespace childsignal

// Set while the program starts, on its main thread, before QTest's threads exist.
[[maybe_unused]] static const bool kChildSignalBlocked = childsignal::blockInNewThreads();
