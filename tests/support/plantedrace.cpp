// A data race planted on the kind of thread a station job runs on (QThread::create), in a
// handler that a signal calls directly, as a job's progress handler is called: the race
// detector must report it. Run with "guarded", the same count under a std::mutex, which it must
// not report. Exit status 0 when the program ran to its end; ThreadSanitizer's own (66) when
// it reported.
#include <QCoreApplication>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

constexpr int kRounds = 2000;

int gCount = 0; // written by both threads
std::mutex gMutex;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const bool guarded = argc > 1 && std::strcmp(argv[1], "guarded") == 0;
    const auto job = [guarded] {
        QObject reporter;
        QObject::connect(
            &reporter, &QObject::objectNameChanged, &reporter,
            [guarded] {
                if (guarded) {
                    std::lock_guard<std::mutex> lock(gMutex);
                    ++gCount;
                } else {
                    ++gCount; // the planted race
                }
            },
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
    // Read under the lock: QThread::wait() waits on a futex, which the detector does not see.
    std::lock_guard<std::mutex> lock(gMutex);
    std::printf("%d\n", gCount);
    return 0;
}
