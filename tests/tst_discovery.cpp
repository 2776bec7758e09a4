#include "link/pcscapi.h"
#include "link/serialport.h"
#include "mockbed.h"
#include "model/model.h"
#include "testseam.h"

#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
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

QStringList gDebugLines;
void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg && qstrcmp(context.category, "vardel.discovery") == 0)
        gDebugLines << message;
}

} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT

private:
    // Plugs in ttyACM0, ttyACM1, ... with these manufacturers (udev spells spaces as '_').
    void plug(const QStringList &vendors)
    {
        for (int i = 0; i < vendors.size(); ++i)
            QVERIFY(bed->add(mockbed::Device{"ttyACM" + std::to_string(i), vendors[i].toStdString(),
                                             "Terminal_USB"}));
    }
    qint64 timedSearch()
    {
        QElapsedTimer timer;
        timer.start();
        model->searchTerminals();
        return timer.elapsed();
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
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(workDir.path()));
        qInstallMessageHandler(collect);
    }
    void init()
    {
        bed = std::make_unique<mockbed::Testbed>();
        model = std::make_unique<Model>(nullptr);
        TestSeam::setPcsc(*model, &kCountingService);
        TestSeam::setFirstSearch(false);
        setPause(0);
        gSwitches = 0;
        gDebugLines.clear();
    }
    void cleanup()
    {
        model.reset();
        bed.reset();
    }

    void manufacturers_data()
    {
        QTest::addColumn<QStringList>("vendors");
        QTest::addColumn<bool>("anyPort");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QStringList>("debugLines");
        const QStringList none;
        const QString label = QStringLiteral("ttyACM0 - (Terminal USB)");
        QTest::newRow("capitals") << QStringList{QStringLiteral("TARVENIX")} << true
                                  << QStringList{label} << none;
        QTest::newRow("Quelmo") << QStringList{QStringLiteral("Quelmo")} << true
                                << QStringList{label} << none;
        QTest::newRow("more words")
            << QStringList{QStringLiteral("Tarvenix_Ltd")} << true << none
            << QStringList{QStringLiteral("Port COM inconnu : tarvenix ltd - Terminal USB")};
        QTest::newRow("none of the brand")
            << QStringList{QStringLiteral("Acme"), QStringLiteral("Quelmox")} << true << none
            << QStringList{QStringLiteral("Port COM inconnu : acme - Terminal USB"),
                           QStringLiteral("Port COM inconnu : quelmox - Terminal USB")};
        QTest::newRow("no port at all") << none << false << none << none;
        QTest::newRow("system order")
            << QStringList{QStringLiteral("Quelmo"), QStringLiteral("Acme"),
                           QStringLiteral("TARVENIX")}
            << true << QStringList{label, QStringLiteral("ttyACM2 - (Terminal USB)")}
            << QStringList{QStringLiteral("Port COM inconnu : acme - Terminal USB")};
    }

    void manufacturers()
    {
        QFETCH(QStringList, vendors);
        QFETCH(bool, anyPort);
        QFETCH(QStringList, labels);
        QFETCH(QStringList, debugLines);
        plug(vendors);
        // A sysfs that lists no serial port; without it Qt would fall back to the real /dev.
        QVERIFY(
            QDir().mkpath(QString::fromStdString(bed->root()) + QStringLiteral("/sys/class/tty")));
        QSignalSpy found(model.get(), &Model::terminalsFound);
        QSignalSpy failed(model.get(), &Model::terminalsFailed);
        model->getSerialPort()->setFoundPorts({QStringLiteral("stale")}, 1);
        model->searchTerminals();
        QCOMPARE(found.count(), anyPort ? 1 : 0);
        QCOMPARE(failed.count(), anyPort ? 0 : 1);
        QCOMPARE(model->getFoundTerminals(), labels);
        QCOMPARE(model->getPreferredIndex(), 0);
        QCOMPARE(gDebugLines, debugLines);
    }

    // Only the run's first search switches the readers, without a pause; every later one
    // pauses and leaves the readers alone, even after a first search that found nothing.
    void readersSwitchedOnceThenPauses()
    {
        TestSeam::setFirstSearch(true);
        setPause(3000);
        QVERIFY(timedSearch() < 3000);
        QCOMPARE(gSwitches.load(), 1);
        setPause(300);
        QVERIFY(timedSearch() >= 300);
        QVERIFY(timedSearch() >= 300);
        QCOMPARE(gSwitches.load(), 1);

        QFile log(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) +
                  QStringLiteral("_logs.txt"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(log.readAll())
                    .endsWith(QStringLiteral(" == Démarrage de la recherche de terminal\n")));
    }

    // The window starts the next search from the result signal; that search may begin before
    // the first one has returned, and must not switch the readers a second time.
    void searchStartedFromResultDoesNotSwitchAgain()
    {
        TestSeam::setFirstSearch(true);
        plug({QStringLiteral("Tarvenix")});
        bool nested = false;
        connect(model.get(), &Model::terminalsFound, this, [&] {
            if (!std::exchange(nested, true))
                model->searchTerminals();
        });
        model->searchTerminals();
        QVERIFY(nested);
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
        int reads = 0;
        int torn = 0; // neither the empty start nor the two terminals
        std::thread window([&] {
            while (!done) {
                const int size = model->getFoundTerminals().size();
                torn += (size != 0 && size != 2) || model->getPreferredIndex() != 0;
                ++reads;
            }
        });
        searches.join();
        window.join();
        QCOMPARE(torn, 0);
        QVERIFY(reads > 0);
        QCOMPARE(model->getFoundTerminals().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
