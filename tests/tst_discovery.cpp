#include "link/pcscapi.h"
#include "mockbed.h"
#include "model/model.h"
#include "testseam.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>
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

    // Plugs in ttyACM0, ttyACM1, ... with these manufacturers (udev spells spaces as '_').
    void plug(const QStringList &vendors)
    {
        for (int i = 0; i < vendors.size(); ++i)
            QVERIFY(bed->add(mockbed::Device{"ttyACM" + std::to_string(i), vendors[i].toStdString(),
                                             "Terminal_USB"}));
    }

    void setPause(int ms)
    {
        Model::Timing timing;
        timing.searchPauseMs = ms;
        TestSeam::setTiming(*model, timing);
    }

    QTemporaryDir workDir; // the Model writes its log file in the working directory
    std::unique_ptr<mockbed::Testbed> bed;
    std::unique_ptr<Model> model;

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(workDir.path())); }
    void init()
    {
        bed = std::make_unique<mockbed::Testbed>();
        model = std::make_unique<Model>();
        TestSeam::setPcsc(*model, &kCountingService);
        TestSeam::setFirstSearch(false);
        setPause(0);
        gSwitches = 0;
    }
    void cleanup()
    {
        model.reset();
        bed.reset();
    }

    // Only the run's first search switches the readers, without its pause. The window starts
    // the next search from the result signal, before the first one has returned: that one,
    // though the first found no terminal, pauses and leaves the readers alone.
    void readersSwitchedOnce()
    {
        plug({QStringLiteral("Acme")});
        TestSeam::setFirstSearch(true);
        setPause(1000);
        QElapsedTimer timer;
        timer.start();
        qint64 firstTook = -1;
        connect(model.get(), &Model::terminalsFound, this, [&] {
            if (firstTook < 0) {
                firstTook = timer.elapsed();
                model->searchTerminals();
            }
        });
        model->searchTerminals();
        QVERIFY(firstTook >= 0 && firstTook < 1000 && timer.elapsed() >= 1000);
        QCOMPARE(gSwitches.load(), 1);
    }

    // The window reads the results on its thread while a worker keeps searching. Both sides run
    // on plain threads: ThreadSanitizer's suppressions drop every report whose stack passes
    // through Qt's own code, as the stacks of a pool thread and of a test slot both do.
    void resultsReadableDuringSearches()
    {
        plug({QStringLiteral("Tarvenix"), QStringLiteral("Quelmo")});
        std::atomic<bool> done{false};
        std::thread searches([&] {
            for (int i = 0; i < 30; ++i)
                model->searchTerminals();
            done = true;
        });
        int torn = 0; // neither the empty start nor the two terminals
        std::thread window([&] {
            do {
                const int size = model->getFoundTerminals().size();
                torn += (size != 0 && size != 2) || model->getPreferredIndex() != 0;
            } while (!done);
        });
        searches.join();
        window.join();
        QCOMPARE(torn, 0);
        QCOMPARE(model->getFoundTerminals().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
