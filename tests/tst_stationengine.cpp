// The station's engine with no console: a run against simulated terminals on mocked serial
// devices, in this process, seen only through what its observer is told.
#include "behaviour.h"
#include "crypto/devkeys.h"
#include "packagefixture.h"
#include "programtimings.h"
#include "station/station.h"
#include "station/stationobserver.h"
#include "terminalbench.h"
#include "model/model.h"

#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// Everything a run tells, kept as it was told (the jobs' changes come from their threads).
class Recorder : public StationObserver
{
public:
    struct Stop
    {
        StopRequests::Event which;
        QString source;
        bool interrupted;
    };

    void refused(Refusal why, const QString &) override { refusals << why; }
    void warned(Warning what, const QString &) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        warnings << what;
    }
    void searching() override { ++searches; }
    void terminalFound(const FoundTerminal &terminal) override { found << terminal.port; }
    void servingStarted(bool watch) override
    {
        ++servings;
        watching = watch;
    }
    void jobStarted(const FoundTerminal &terminal) override { started << terminal.port; }
    void jobChanged(const JobView &row) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        changes[row.port] << row;
    }
    void jobEnded(const JobResult &result) override
    {
        endedBeforeServingEnded = endedBeforeServingEnded && servingsEnded == 0;
        ended << result;
        if (onEnded)
            onEnded(result);
    }
    void progressed(const QList<JobView> &rows) override { lastRows = rows; }
    void stopTaken(StopRequests::Event which, const QString &source, bool interrupted) override
    {
        stops << Stop{which, source, interrupted};
    }
    void servingEnded() override { ++servingsEnded; }
    void finished(const report::Run &run, const QString &) override
    {
        ++finishes;
        summary = run;
    }

    QList<Refusal> refusals;
    std::mutex mutex; // guards warnings and changes
    QList<Warning> warnings;
    QHash<QString, QList<JobView>> changes; // by port
    int searches = 0;
    QStringList found;
    int servings = 0;
    int servingsEnded = 0;
    bool watching = false;
    QStringList started;
    QList<JobResult> ended;
    bool endedBeforeServingEnded = true;
    QList<JobView> lastRows;
    QList<Stop> stops;
    int finishes = 0;
    report::Run summary;
    std::function<void(const JobResult &)> onEnded;
};

// Terminals restarting as the shortened waits expect (programtimings::terminalOptions()), with
// the hardware the package accepts.
std::vector<sim::Behaviour> terminalsOf(int count)
{
    sim::Behaviour behaviour;
    behaviour.restartAfterMs = 60;
    behaviour.rebootSilenceMs = 500;
    behaviour.setCatalogue(0x12, 0x34, 0x56);
    return std::vector<sim::Behaviour>(std::size_t(count), behaviour);
}

QList<StationObserver::Warning> expectedWarnings()
{
    if (devkeys::inUse())
        return {StationObserver::Warning::DevelopmentKeys};
    return {};
}

} // namespace

class TestStationEngine : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    QString package;
    QString previousDir;

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        // No system bus: the sleep lock is refused at once.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS",
                QByteArrayLiteral("unix:path=") + QFile::encodeName(work.filePath(QStringLiteral("no-bus"))));
        Model::Timing timing;
        QString error;
        QVERIFY2(timing.apply(QString::fromLatin1(programtimings::text()), error),
                 qPrintable(error));
        Model::setInitialTimingForTests(timing);
        package = work.filePath(QStringLiteral("package"));
        QVERIFY(fixture::writePackage(package));
        // No reboot delay of its own: the reboot wait is the shortened one.
        QVERIFY(fixture::write(package + QStringLiteral("/configuration.xml"),
                               fixture::signXml(fixture::unsignedXml(0), package + QLatin1Char('/'))));
        // The station's log goes to the working directory.
        previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(work.path()));
    }

    void cleanupTestCase() { QDir::setCurrent(previousDir); }

    // The stop requests of a front end without signals: two are taken, then nothing, and a
    // wait with nothing to take sleeps its whole time (the run's loop sleeps there).
    void stopFlag()
    {
        StopFlag flag;
        QCOMPARE(flag.wait(0), StopRequests::Event::None);
        QVERIFY(!flag.stopped());
        flag.request();
        QCOMPARE(flag.wait(1000), StopRequests::Event::First);
        QVERIFY(flag.stopped());
        flag.request();
        flag.request();
        QCOMPARE(flag.wait(0), StopRequests::Event::Second);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(flag.wait(150), StopRequests::Event::None);
        QVERIFY(clock.elapsed() >= 140);
        // A request from another thread wakes a wait at once.
        StopFlag other;
        std::thread asker([&other] {
            QThread::msleep(50);
            other.request();
        });
        clock.restart();
        QCOMPARE(other.wait(5000), StopRequests::Event::First);
        QVERIFY(clock.elapsed() < 4000);
        asker.join();
    }

    // A package that cannot be installed: refused before any search, nothing served.
    void invalidPackage()
    {
        StationSettings settings;
        settings.packageDir = work.filePath(QStringLiteral("empty"));
        QVERIFY(QDir().mkpath(settings.packageDir));
        StopFlag stops;
        Recorder seen;
        Station station(settings, stops, seen);
        QCOMPARE(station.run(), Station::kNothingStarted);
        QCOMPARE(seen.refusals, QList<StationObserver::Refusal>{
                                    StationObserver::Refusal::PackageInvalid});
        QCOMPARE(seen.warnings, expectedWarnings());
        QCOMPARE(seen.searches, 0);
        QCOMPARE(seen.servings, 0);
        QCOMPARE(seen.finishes, 0);
    }

    // Two terminals updated at once: each job's stages in the scenario's order, its end as
    // values, the summary's results and status.
    void twoTerminalsUpdated()
    {
        TerminalBench bench("ttyEN", "ENG", terminalsOf(2));
        QVERIFY(bench.ready(2));
        StationSettings settings;
        settings.packageDir = package;
        settings.ports = bench.names; // only this test's terminals
        StopFlag stops;
        Recorder seen;
        Station station(settings, stops, seen);
        const int status = station.run();
        for (const JobResult &result : seen.ended)
            QVERIFY2(result.success, qPrintable(result.port + QStringLiteral(": ") +
                                                result.title + QStringLiteral(", ") +
                                                result.message));
        QCOMPARE(status, Station::kAllUpdated);

        QVERIFY(seen.refusals.isEmpty());
        QCOMPARE(seen.warnings, expectedWarnings());
        QCOMPARE(seen.searches, 1);
        QCOMPARE(seen.servings, 1);
        QVERIFY(!seen.watching);
        QCOMPARE(seen.servingsEnded, 1);
        QVERIFY(seen.stops.isEmpty());
        QStringList started = seen.started;
        started.sort();
        QCOMPARE(started, bench.names);

        QCOMPARE(seen.ended.size(), 2);
        QVERIFY(seen.endedBeforeServingEnded);
        for (const JobResult &result : seen.ended) {
            QCOMPARE(result.installation.outcome, InstallOutcome::Updated);
            QCOMPARE(result.installation.cause, FailureCause::None);
            QCOMPARE(result.serialNumber,
                     QStringLiteral("ENG") + result.port.right(1)); // its own terminal's
            QVERIFY(result.bytesSent > 0);
        }

        for (const QString &port : bench.names) {
            const QList<JobView> rows = seen.changes.value(port);
            QVERIFY2(!rows.isEmpty(), qPrintable(port));
            // Waiting at first, perhaps; then running through the scenario's stages in order,
            // down to the reboot wait; then done, updated.
            int stage = -1;
            bool downloaded = false;
            bool rebooted = false;
            for (const JobView &row : rows.mid(0, rows.size() - 1)) {
                QVERIFY(row.state != JobView::State::Done);
                if (row.state == JobView::State::Waiting) {
                    QCOMPARE(stage, -1);
                    continue;
                }
                QVERIFY2(int(row.progress.stage) >= stage || row.progress.batch > 1,
                         qPrintable(stageKey(row.progress.stage)));
                stage = int(row.progress.stage);
                downloaded = downloaded || row.progress.stage == InstallStage::Download;
                rebooted = rebooted || row.progress.stage == InstallStage::RebootWait;
                QVERIFY(row.progress.percent <= 100);
            }
            QVERIFY(downloaded);
            QVERIFY(rebooted);
            QCOMPARE(rows.last().state, JobView::State::Done);
            QVERIFY(rows.last().success);
            QVERIFY(!rows.last().unverified);
        }

        QCOMPARE(seen.lastRows.size(), 2);
        for (const JobView &row : seen.lastRows)
            QCOMPARE(row.state, JobView::State::Done);
        QCOMPARE(seen.finishes, 1);
        QCOMPARE(seen.summary.exitStatus, Station::kAllUpdated);
        QVERIFY(!seen.summary.interrupted);
        QCOMPARE(seen.summary.terminals.size(), 2);
        QVERIFY(seen.summary.package.valid);
    }

    // Watch mode ends on a stop requested by a call: after its only terminal, that stop is
    // no interruption, and the run ends updated.
    void watchEndsOnRequest()
    {
        TerminalBench bench("ttyEN", "ENG", terminalsOf(1));
        QVERIFY(bench.ready(1));
        StationSettings settings;
        settings.packageDir = package;
        settings.ports = bench.names;
        settings.watch = true;
        StopFlag stops;
        Recorder seen;
        seen.onEnded = [&stops](const JobResult &) { stops.request(); };
        Station station(settings, stops, seen);
        QCOMPARE(station.run(), Station::kAllUpdated);

        QVERIFY(seen.watching);
        QCOMPARE(seen.found, bench.names);
        QCOMPARE(seen.started, bench.names);
        QCOMPARE(seen.ended.size(), 1);
        QCOMPARE(seen.ended.first().installation.outcome, InstallOutcome::Updated);
        QCOMPARE(seen.stops.size(), 1);
        QCOMPARE(seen.stops.first().which, StopRequests::Event::First);
        QCOMPARE(seen.stops.first().source, StopFlag().source());
        QVERIFY(!seen.stops.first().interrupted);
        QCOMPARE(seen.servingsEnded, 1);
        QCOMPARE(seen.summary.exitStatus, Station::kAllUpdated);
        QVERIFY(!seen.summary.interrupted);
    }
};

QTEST_GUILESS_MAIN(TestStationEngine)
#include "tst_stationengine.moc"
