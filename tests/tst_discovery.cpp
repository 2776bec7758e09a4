#include "link/pcscapi.h"
#include "mockbed.h"
#include "model/model.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

namespace {

// A PC/SC service that is never running; it only counts how often the switch asked for it.
std::atomic<int> gSwitches{0};
LONG countSwitch(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT)
{
    ++gSwitches;
    return SCARD_E_NO_SERVICE;
}
const PcscApi kCountingService{countSwitch, nullptr, nullptr, nullptr,
                               nullptr,     nullptr, nullptr, nullptr};

} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT

    QTemporaryDir workDir; // the Model writes its log file in the working directory

    // Plugs in ttyACM0, ttyACM1, ... with these manufacturers; the Model gets the counting
    // service and this pause between searches.
    static void prepare(mockbed::Testbed &bed, const QStringList &vendors, Model &model, int pause)
    {
        for (int i = 0; i < vendors.size(); ++i)
            QVERIFY(bed.add(mockbed::Device{"ttyACM" + std::to_string(i), vendors[i].toStdString(),
                                            "Terminal_USB"}));
        Model::Timing timing;
        timing.searchPauseMs = pause;
        model.setTimingForTests(timing);
        model.setPcscForTests(&kCountingService);
        Model::setFirstSearchForTests(false);
        gSwitches = 0;
    }

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(workDir.path())); }

    // Only the run's first search switches the readers, without its pause. The window starts
    // the next search from the result signal, before the first one has returned: that one,
    // though the first found no terminal, pauses and leaves the readers alone.
    void readersSwitchedOnce()
    {
        mockbed::Testbed bed;
        Model model;
        prepare(bed, {QStringLiteral("Acme")}, model, 1000);
        Model::setFirstSearchForTests(true);
        QElapsedTimer timer;
        timer.start();
        qint64 firstTook = -1;
        connect(&model, &Model::terminalsFound, this, [&] {
            if (firstTook < 0) {
                firstTook = timer.elapsed();
                model.searchTerminals();
            }
        });
        model.searchTerminals();
        QVERIFY(firstTook >= 0 && firstTook < 1000 && timer.elapsed() >= 1000);
        QCOMPARE(gSwitches.load(), 1);
    }

    // The window reads the results on its thread while a worker keeps searching. Both sides run
    // on plain threads: ThreadSanitizer's suppressions drop every report whose stack passes
    // through Qt's own code, as the stacks of a pool thread and of a test slot both do.
    void resultsReadableDuringSearches()
    {
        mockbed::Testbed bed;
        Model model;
        prepare(bed, {QStringLiteral("Tarvenix"), QStringLiteral("Quelmo")}, model, 0);
        std::atomic<bool> done{false};
        std::thread searches([&] {
            for (int i = 0; i < 30; ++i)
                model.searchTerminals();
            done = true;
        });
        int torn = 0; // neither the empty start nor the two terminals
        std::thread window([&] {
            do {
                const int size = model.getFoundTerminals().size();
                torn += (size != 0 && size != 2) || model.getPreferredIndex() != 0;
            } while (!done);
        });
        searches.join();
        window.join();
        QCOMPARE(torn, 0);
        QCOMPARE(model.getFoundTerminals().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
