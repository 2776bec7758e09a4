// Data races planted where the race detector has been blinded before, each with a guarded twin
// that must not be reported. Run as `vardel_plantedrace CASE planted|guarded`:
//
//   signal      two threads of the kind a station job runs on (QThread::create) count in a
//               handler that a signal calls directly, as a job's progress handler is called;
//   concurrent  two QtConcurrent::run tasks count;
//   copy        one thread writes a buffer while another copies it into a QByteArray (the copy
//               is Qt's, through the C library's memcpy);
//   workers     two tasks of workers::start (the window's workers) count, and the thread that
//               started them reads what they wrote once workers::waitForAll() has returned;
//   queued      no race: a thread hands a value to the main thread through a queued signal,
//               the hand-off through Qt's event queue that the detector cannot see and the
//               project's suppressions hide ("planted" and "guarded" alike).
//
// "guarded" takes a std::mutex around each access. Exit status 0 when the program ran to its
// end; ThreadSanitizer's own (66) when it reported.
#include "system/workers.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr int kRounds = 2000;

// Written before any thread starts: the threads read them without a lock.
bool gGuarded = false;

int gCount = 0; // written by both threads
std::mutex gMutex;

void bump()
{
    if (gGuarded) {
        std::lock_guard<std::mutex> lock(gMutex);
        ++gCount;
    } else {
        ++gCount; // the planted race
    }
}

void onStationThreads()
{
    const auto job = [] {
        QObject reporter;
        QObject::connect(&reporter, &QObject::objectNameChanged, &reporter, bump,
                         Qt::DirectConnection);
        for (int round = 0; round < kRounds; ++round)
            reporter.setObjectName(QString::number(round));
    };
    std::unique_ptr<QThread> first(QThread::create(job));
    std::unique_ptr<QThread> second(QThread::create(job));
    first->start();
    second->start();
    first->wait();
    second->wait();
}

// Two tasks on a pool count at once: each waits until the other has started, so that they run
// on two threads (on one, one after the other, they could not race). The wait is on a relaxed
// atomic, which orders nothing for the detector.
std::atomic<int> gStarted{0};
void countOnceBothStarted(int rounds)
{
    gStarted.fetch_add(1, std::memory_order_relaxed);
    while (gStarted.load(std::memory_order_relaxed) < 2)
        QThread::yieldCurrentThread();
    for (int round = 0; round < rounds; ++round)
        bump();
}

void inConcurrentTasks()
{
    QThreadPool::globalInstance()->setMaxThreadCount(2);
    // No capture: what a task reads of its starter's data would cross the pool's unseen lock.
    const auto task = [] { countOnceBothStarted(kRounds); };
    QFuture<void> first = QtConcurrent::run(task);
    QFuture<void> second = QtConcurrent::run(task);
    first.waitForFinished();
    second.waitForFinished();
}

void whileQtCopies()
{
    char buffer[4096] = {};
    std::thread writer([&buffer] {
        for (int round = 0; round < kRounds / 10; ++round) {
            std::unique_lock<std::mutex> lock(gMutex, std::defer_lock);
            if (gGuarded)
                lock.lock();
            std::memset(buffer, 'a' + round % 26, sizeof buffer); // raced by the copy below
        }
    });
    qint64 copied = 0;
    for (int round = 0; round < kRounds / 10; ++round) {
        std::unique_lock<std::mutex> lock(gMutex, std::defer_lock);
        if (gGuarded)
            lock.lock();
        const QByteArray copy(buffer, int(sizeof buffer));
        copied += copy.size();
    }
    writer.join();
    std::lock_guard<std::mutex> lock(gMutex);
    gCount = int(copied / qint64(sizeof buffer));
}

void inWorkers()
{
    QThreadPool::globalInstance()->setMaxThreadCount(2);
    // The tasks read `rounds` without a lock: it was written before they started. The main
    // thread writes it again once they have ended.
    static int rounds = 0;
    rounds = kRounds;
    const auto task = [] { countOnceBothStarted(rounds); };
    workers::start(task);
    workers::start(task);
    workers::waitForAll();
    rounds = 0;
}

} // namespace

// A value handed over by a queued signal, as the window gets an installation's result: not a
// plain one, so that Qt copies it with its copy constructor, which the detector watches.
struct Tally
{
    int count = 0;
    QString what;
};
Q_DECLARE_METATYPE(Tally)

namespace {

class Relay : public QObject
{
    Q_OBJECT

signals:
    void counted(Tally tally);
};

void throughEventQueue()
{
    qRegisterMetaType<Tally>();
    Relay relay; // lives on the main thread: the handler runs there
    QObject::connect(
        &relay, &Relay::counted, &relay,
        [](Tally tally) {
            gCount = tally.count;
            QCoreApplication::quit();
        },
        Qt::QueuedConnection);
    std::unique_ptr<QThread> sender(
        QThread::create([&relay] { emit relay.counted({kRounds, QStringLiteral("rounds")}); }));
    QTimer::singleShot(0, sender.get(), [&sender] { sender->start(); });
    QCoreApplication::exec();
    sender->wait();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const char *which = argc > 1 ? argv[1] : "";
    gGuarded = argc > 2 && std::strcmp(argv[2], "guarded") == 0;
    if (std::strcmp(which, "signal") == 0)
        onStationThreads();
    else if (std::strcmp(which, "concurrent") == 0)
        inConcurrentTasks();
    else if (std::strcmp(which, "copy") == 0)
        whileQtCopies();
    else if (std::strcmp(which, "workers") == 0)
        inWorkers();
    else if (std::strcmp(which, "queued") == 0)
        throughEventQueue();
    else {
        std::fprintf(stderr, "usage: %s signal|concurrent|copy|workers|queued planted|guarded\n",
                     argv[0]);
        return 2;
    }
    // Read under the lock: QThread::wait() and QFuture::waitForFinished() wait on futexes,
    // which the detector does not see.
    std::lock_guard<std::mutex> lock(gMutex);
    std::printf("%d\n", gCount);
    return 0;
}

#include "plantedrace.moc"
