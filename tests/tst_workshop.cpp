// The workshop window over the station's engine, in this process, against simulated terminals
// on mocked serial devices: what its table, its counts and its detail panel show.
#include "behaviour.h"
#include "crypto/devkeys.h"
#include "fleet.h"
#include "logindstandin.h"
#include "mockbed.h"
#include "packagefixture.h"
#include "programtimings.h"
#include "sanitizerreport.h"
#include "station/report.h"
#include "station/station.h"
#include "station/workshopsettings.h"
#include "system/logger.h"
#include "terminal.h"
#include "terminalbench.h"
#include "model/model.h"
#include "ui/workshoprows.h"
#include "ui/workshopwindow.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>
#include <vector>

namespace {

QString operator""_q(const char *text, size_t size)
{
    return QString::fromUtf8(text, int(size));
}

// Restarting as the shortened waits expect (programtimings::terminalOptions()).
sim::Behaviour quickTerminal()
{
    sim::Behaviour behaviour;
    behaviour.restartAfterMs = 60;
    behaviour.rebootSilenceMs = 500;
    behaviour.setCatalogue(0x12, 0x34, 0x56); // the hardware the package accepts
    return behaviour;
}

// `count` quick terminals; the one numbered `mismatched` has hardware the package does not
// accept.
std::vector<sim::Behaviour> terminalsOf(int count, int mismatched)
{
    std::vector<sim::Behaviour> behaviours(std::size_t(count), quickTerminal());
    if (mismatched >= 0 && mismatched < count)
        behaviours.at(std::size_t(mismatched)).setCatalogue(0x99, 0x99, 0x99);
    return behaviours;
}

} // namespace

class TestWorkshop : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    QString package;
    QString previousDir;
    std::unique_ptr<WorkshopWindow> window;

    template <typename T>
    T *widget(const char *name) const
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }
    QString label(const char *name) const { return widget<QLabel>(name)->text(); }
    QString cell(int row, int column) const
    {
        const WorkshopRows &rows = window->terminals();
        return rows.data(rows.index(row, column)).toString();
    }
    // The counts labels, as the person reads them.
    QStringList countsShown() const
    {
        return {label("waitingCount"), label("runningCount"), label("updatedCount"),
                label("unverifiedCount"), label("failedCount"), label("upToDateCount")};
    }
    // The same counts, made from the outcome column of the table's rows.
    QStringList countsOfRows() const
    {
        QHash<QString, int> tally;
        for (int row = 0; row < window->terminals().rowCount(); ++row)
            ++tally[cell(row, WorkshopRows::Outcome)];
        return {"En attente : %1"_q.arg(tally.value("en attente"_q)),
                "En cours : %1"_q.arg(tally.value("en cours"_q)),
                "Mis à jour : %1"_q.arg(tally.value("mis à jour"_q)),
                "À vérifier : %1"_q.arg(tally.value("à vérifier"_q)),
                "En échec : %1"_q.arg(tally.value("en échec"_q) + tally.value("interrompu"_q)),
                "Déjà à jour : %1"_q.arg(tally.value("déjà à jour"_q))};
    }
    int rowOfSerial(const QString &serial) const
    {
        for (int row = 0; row < window->terminals().rowCount(); ++row) {
            if (window->terminals().serialNumber(row) == serial)
                return row;
        }
        return -1;
    }
    StationSettings settings(const QStringList &ports = {}) const
    {
        StationSettings given;
        given.packageDir = package;
        given.ports = ports;
        return given;
    }
    // A settings file for the workshop's broker, with `content`.
    QString settingsFile(const QByteArray &content) const
    {
        const QString path = work.filePath("atelier.conf"_q);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(content) != content.size())
            return QString();
        return path;
    }
    // A run that finds no terminal at once: what happens before the terminals.
    StationSettings nothingToFind() const
    {
        StationSettings given = settings({"ttyNONE"_q});
        given.waitSeconds = 0;
        return given;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        // No system bus, unless a test brings logind's stand-in.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS",
                "unix:path="_q.toUtf8() + QFile::encodeName(work.filePath("no-bus"_q)));
        Model::Timing timing;
        QString error;
        QVERIFY2(timing.apply(QString::fromLatin1(programtimings::text()), error),
                 qPrintable(error));
        Model::setInitialTimingForTests(timing);
        package = work.filePath("package"_q);
        QVERIFY(fixture::writePackage(package));
        QVERIFY(fixture::write(package + "/configuration.xml"_q,
                               fixture::signXml(fixture::unsignedXml(0), package + QLatin1Char('/'))));
        // The station's log, and the reports for support, go to the working directory.
        previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(work.path()));
    }

    void cleanup() { window.reset(); }
    // What a stopped run left running (closeWaitsForTheRun) ends before the program does.
    void cleanupTestCase()
    {
        QDir::setCurrent(previousDir);
        QVERIFY(WorkshopWindow::waitForLeftWork(10000));
    }

    // The window as it opens: it fits a 1024 x 600 screen, every control has a name a screen
    // reader says, the keyboard reaches them in order, and nothing runs before "Démarrer".
    void opens()
    {
        window = std::make_unique<WorkshopWindow>(settings());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(!window->isRunning());
        QVERIFY(window->minimumSizeHint().width() <= 1024);
        QVERIFY(window->minimumSizeHint().height() <= 600);
        QVERIFY(window->frameGeometry().width() <= 1024);
        QVERIFY(window->frameGeometry().height() <= 600);
        QCOMPARE(widget<QPushButton>("startButton")->text(), "&Démarrer"_q);
        QVERIFY(widget<QPushButton>("startButton")->isEnabled());
        QVERIFY(!widget<QPushButton>("stopButton")->isEnabled());
        QVERIFY(!widget<QCheckBox>("automaticBox")->isChecked());
        QCOMPARE(countsShown(), countsOfRows());
        QCOMPARE(label("failedCount"), "En échec : 0"_q);
        for (const char *name : {"startButton", "stopButton", "automaticBox", "table", "detail",
                                 "waitingCount", "runningCount", "updatedCount",
                                 "unverifiedCount", "failedCount", "upToDateCount"}) {
            auto *w = window->findChild<QWidget *>(QString::fromLatin1(name));
            QVERIFY2(w && !w->accessibleName().isEmpty(), name);
        }
        window->activateWindow();
        QTRY_COMPARE(QApplication::focusWidget(), widget<QPushButton>("startButton"));
        // Tab goes through the form's order: start, the mode (the stop button is disabled
        // before a run), the table, the detail, and back to start.
        QList<QWidget *> reached;
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            reached << QApplication::focusWidget();
        }
        QCOMPARE(reached, (QList<QWidget *>{widget<QCheckBox>("automaticBox"),
                                            widget<QTableView>("table"),
                                            widget<QPlainTextEdit>("detail"),
                                            widget<QPushButton>("startButton")}));
        // The mode from the keyboard.
        QTest::keyClick(widget<QCheckBox>("automaticBox"), Qt::Key_Space);
        QVERIFY(widget<QCheckBox>("automaticBox")->isChecked());
    }

    // Four terminals updated with one press of "Démarrer", one of them with hardware the
    // package refuses: a row each, three updated and one failed, the counts, the summary line,
    // the chosen failure's detail in the panel and never a box; the PC kept awake meanwhile;
    // the window keeps its size as the rows come.
    void fourTerminalsOneFails()
    {
        LogindStandIn logind;
        QVERIFY(logind.start());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", logind.address().toUtf8());
        TerminalBench bench("ttyWS", "WKS", terminalsOf(4, 2));
        QVERIFY(bench.ready(4));
        window = std::make_unique<WorkshopWindow>(settings(bench.names));
        window->resize(1000, 560);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        const QSize size = window->size();
        QSignalSpy ended(window.get(), &WorkshopWindow::runEnded);
        bool boxShown = false;
        QTimer boxWatch;
        connect(&boxWatch, &QTimer::timeout, this,
                [&boxShown] { boxShown = boxShown || QApplication::activeModalWidget(); });
        boxWatch.start(20);

        widget<QPushButton>("startButton")->setFocus();
        QTest::keyClick(widget<QPushButton>("startButton"), Qt::Key_Space);
        QVERIFY(window->isRunning());
        QVERIFY(!widget<QPushButton>("startButton")->isEnabled());
        QVERIFY(widget<QPushButton>("stopButton")->isEnabled());
        QVERIFY(!widget<QCheckBox>("automaticBox")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!logind.inhibitors().isEmpty() || !ended.isEmpty(), 30000);
        QVERIFY2(ended.isEmpty(), "the run ended before the PC was kept awake");
        QVERIFY(logind.inhibitors().first().contains("|Vardel|"_q));
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 60000);
        QCOMPARE(ended.first().first().toInt(), int(Station::kSomeFailed));
        bool answered = false;
        QTRY_VERIFY_WITH_TIMEOUT(logind.inhibitors(&answered).isEmpty() && answered, 20000);
        qputenv("DBUS_SYSTEM_BUS_ADDRESS",
                "unix:path="_q.toUtf8() + QFile::encodeName(work.filePath("no-bus"_q)));

        const WorkshopRows &rows = window->terminals();
        QCOMPARE(rows.rowCount(), 4);
        QStringList ports;
        for (int row = 0; row < 4; ++row) {
            ports << cell(row, WorkshopRows::Port);
            const QString serial = rows.serialNumber(row);
            QCOMPARE(cell(row, WorkshopRows::Serial), serial);
            const bool refused = serial == "WKS2"_q;
            QCOMPARE(rows.verdict(row), refused ? WorkshopRows::Verdict::Failed
                                                : WorkshopRows::Verdict::Updated);
            QCOMPARE(cell(row, WorkshopRows::Outcome), refused ? "en échec"_q : "mis à jour"_q);
            QVERIFY(cell(row, WorkshopRows::Progress).isEmpty()); // nothing runs any more
            const JobResult *result = rows.result(row);
            QVERIFY(result);
            QCOMPARE(result->installation.cause,
                     refused ? FailureCause::Mismatch : FailureCause::None);
            if (refused)
                QCOMPARE(cell(row, WorkshopRows::Stage), "contrôle du matériel"_q);
        }
        ports.sort();
        QCOMPARE(ports, bench.names);
        QCOMPARE(countsShown(), countsOfRows());
        QCOMPARE(countsShown(), (QStringList{"En attente : 0"_q, "En cours : 0"_q,
                                             "Mis à jour : 3"_q, "À vérifier : 0"_q,
                                             "En échec : 1"_q, "Déjà à jour : 0"_q}));
        QCOMPARE(label("statusLabel"),
                 "Terminaux : 3 mis à jour, 0 déjà à jour, 0 à vérifier, 1 en échec"_q);
        // The refused terminal was never written to; the others activated their batch once.
        for (int k = 0; k < 4; ++k)
            QCOMPARE(bench.record(k).count(sim::Command::Activate), k == 2 ? 0 : 1);

        // The failure chosen from the keyboard: its title, message and report in the panel.
        auto *table = widget<QTableView>("table");
        table->setFocus();
        const int failed = rowOfSerial("WKS2"_q);
        QVERIFY(failed >= 0);
        QTest::keyClick(table, Qt::Key_Home);
        for (int row = 0; row < failed; ++row)
            QTest::keyClick(table, Qt::Key_Down);
        QCOMPARE(table->currentIndex().row(), failed);
        const JobResult *result = rows.result(failed);
        const QString detail = widget<QPlainTextEdit>("detail")->toPlainText();
        QVERIFY2(detail.contains("Terminal "_q + rows.port(failed) + ", n° de série WKS2"_q),
                 qPrintable(detail));
        QVERIFY2(detail.contains("Résultat : en échec"_q), qPrintable(detail));
        QVERIFY(!result->title.isEmpty());
        QVERIFY2(detail.contains(result->title), qPrintable(detail));
        QVERIFY2(detail.contains(result->message.section(QLatin1Char('\n'), 0, 0)),
                 qPrintable(detail));
        QVERIFY(!result->installation.reportFile.isEmpty());
        QVERIFY(QFile::exists(result->installation.reportFile));
        QVERIFY2(detail.contains("Rapport pour le support : "_q +
                                 QDir::toNativeSeparators(result->installation.reportFile)),
                 qPrintable(detail));
        // An updated one says so, without a report.
        QTest::keyClick(table, failed == 0 ? Qt::Key_Down : Qt::Key_Up);
        const QString other = widget<QPlainTextEdit>("detail")->toPlainText();
        QVERIFY2(other.contains("Résultat : mis à jour"_q), qPrintable(other));
        QVERIFY(!other.contains("Rapport"_q));

        QVERIFY(!boxShown);
        QCOMPARE(window->size(), size);
        QVERIFY(widget<QPushButton>("startButton")->isEnabled());
        QVERIFY(!widget<QPushButton>("stopButton")->isEnabled());
    }

    // Automatic mode, as `vardel --atelier` opens it: terminals plugged in one after another
    // are each updated once; one unplugged after its update and plugged in again is not
    // updated a second time and its row says so; the window goes on waiting until "Arrêter".
    void automaticModeEachOnce()
    {
        sim::Fleet fleet;
        for (int k = 0; k < 3; ++k) {
            sim::DeviceOptions options;
            options.behaviour = quickTerminal();
            options.vendor = "Tarvenix"_q;
            options.serial = "AUTO%1"_q.arg(k);
            options.unplugged = true;
            QVERIFY(fleet.add("ttyAU%1_%2"_q.arg(QCoreApplication::applicationPid()).arg(k),
                              options));
        }
        window = std::make_unique<WorkshopWindow>(settings(), true);
        window->show();
        QVERIFY(widget<QCheckBox>("automaticBox")->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(window->isRunning(), 20000);
        QVERIFY(!widget<QCheckBox>("automaticBox")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(label("statusLabel").startsWith("Mode automatique"_q), 20000);
        QSignalSpy ended(window.get(), &WorkshopWindow::runEnded);
        const WorkshopRows &rows = window->terminals();

        for (int k = 0; k < 2; ++k) {
            QVERIFY(fleet.plug(k));
            QTRY_COMPARE_WITH_TIMEOUT(rows.rowCount(), k + 1, 20000);
            QCOMPARE(rows.serialNumber(k), "AUTO%1"_q.arg(k));
            QTRY_COMPARE_WITH_TIMEOUT(rows.verdict(k), WorkshopRows::Verdict::Updated, 30000);
            QTRY_VERIFY(rows.result(k));
        }
        QCOMPARE(countsShown(), countsOfRows());
        QCOMPARE(label("updatedCount"), "Mis à jour : 2"_q);

        // The first one, unplugged and plugged in again under a new port name.
        fleet.unplug(0);
        QTest::qWait(2500); // the station's loop (a look every 250 ms) sees it gone
        QVERIFY(fleet.plug(0));
        QCOMPARE(fleet.names(0).size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(!cell(0, WorkshopRows::Note).isEmpty(), 20000);
        QVERIFY2(cell(0, WorkshopRows::Note).contains("déjà mis à jour"_q),
                 qPrintable(cell(0, WorkshopRows::Note)));
        // Its row keeps the port of its update.
        QCOMPARE(cell(0, WorkshopRows::Port), fleet.names(0).first());
        QTest::qWait(1000); // and nothing more happens to it
        QCOMPARE(rows.rowCount(), 2);
        QCOMPARE(fleet.record(0).count(sim::Command::Activate), 1);
        QCOMPARE(rows.verdict(0), WorkshopRows::Verdict::Updated);

        // A third one, later still.
        QVERIFY(fleet.plug(2));
        QTRY_COMPARE_WITH_TIMEOUT(rows.rowCount(), 3, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(rows.verdict(2), WorkshopRows::Verdict::Updated, 30000);
        QCOMPARE(countsShown(), countsOfRows());
        QCOMPARE(countsShown(), (QStringList{"En attente : 0"_q, "En cours : 0"_q,
                                             "Mis à jour : 3"_q, "À vérifier : 0"_q,
                                             "En échec : 0"_q, "Déjà à jour : 0"_q}));
        for (int k = 0; k < 3; ++k)
            QCOMPARE(fleet.record(k).count(sim::Command::Activate), 1);

        // It never ends by itself; "Arrêter" ends it, as an end of the session, not a failure.
        QVERIFY(window->isRunning());
        QVERIFY(ended.isEmpty());
        QTest::mouseClick(widget<QPushButton>("stopButton"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        QCOMPARE(ended.first().first().toInt(), int(Station::kAllUpdated));
        QVERIFY(!window->isRunning());
        QVERIFY(widget<QCheckBox>("automaticBox")->isEnabled());
        fleet.stop();
    }

    // Every control a person reaches has a name a screen reader says, and the keyboard
    // reaches the controls in the form's order, the stop button included.
    void accessibleAndKeyboard()
    {
        window = std::make_unique<WorkshopWindow>(settings());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        int interactive = 0;
        for (QWidget *w : window->findChildren<QWidget *>()) {
            const bool reachable = w->focusPolicy() != Qt::NoFocus || qobject_cast<QAbstractButton *>(w) ||
                                   qobject_cast<QAbstractItemView *>(w);
            if (!reachable || !w->isVisibleTo(window.get()) || w->focusProxy())
                continue;
            // The parts of a view (its viewport, headers, scroll bars) are the view's.
            if (qobject_cast<QAbstractScrollArea *>(w->parentWidget()) ||
                (w->parentWidget() && qobject_cast<QAbstractScrollArea *>(w->parentWidget()->parentWidget())))
                continue;
            ++interactive;
            QVERIFY2(!w->accessibleName().trimmed().isEmpty(), qPrintable(w->objectName()));
        }
        QCOMPARE(interactive, 5); // start, stop, the mode, the table, the detail
        // The tab chain from "Démarrer", the stop button in it though it waits for a run.
        QList<QWidget *> chain;
        QWidget *w = widget<QPushButton>("startButton");
        while (chain.size() < 5) {
            if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(window.get()))
                chain << w;
            w = w->nextInFocusChain();
            if (w == widget<QPushButton>("startButton"))
                break;
        }
        QCOMPARE(chain, (QList<QWidget *>{widget<QPushButton>("startButton"),
                                          widget<QPushButton>("stopButton"),
                                          widget<QCheckBox>("automaticBox"),
                                          widget<QTableView>("table"),
                                          widget<QPlainTextEdit>("detail")}));
        // The detail's title takes the keyboard to the detail.
        QCOMPARE(widget<QLabel>("detailTitle")->buddy(), widget<QPlainTextEdit>("detail"));
        QCOMPARE(widget<QLabel>("detailTitle")->text(), "Dé&tail du terminal choisi"_q);
    }

    // A workshop of 32 terminals: the window keeps its size and fits a 1024 x 600 screen, and
    // the table scrolls.
    void thirtyTwoRows()
    {
        window = std::make_unique<WorkshopWindow>(settings());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        const QSize size = window->size();
        auto *rows = window->findChild<WorkshopRows *>();
        QVERIFY(rows);
        auto *table = widget<QTableView>("table");
        QCOMPARE(table->verticalScrollBar()->maximum(), 0);
        for (int k = 0; k < 32; ++k) {
            FoundTerminal terminal;
            terminal.port = "ttyUSB%1"_q.arg(k);
            terminal.location = "/dev/"_q + terminal.port;
            terminal.label = terminal.port + " - (Terminal USB)"_q;
            terminal.serialNumber = "ROW%1"_q.arg(k, 2, 10, QLatin1Char('0'));
            rows->add(terminal);
        }
        QCoreApplication::processEvents();
        QCOMPARE(table->model()->rowCount(), 32);
        QCOMPARE(window->size(), size);
        for (const QSize hint : {window->sizeHint(), window->minimumSizeHint()}) {
            QVERIFY2(hint.width() <= 1024 && hint.height() <= 600,
                     qPrintable("%1x%2"_q.arg(hint.width()).arg(hint.height())));
        }
        QVERIFY(window->frameGeometry().width() <= 1024);
        QVERIFY(window->frameGeometry().height() <= 600);
        QTRY_VERIFY(table->verticalScrollBar()->maximum() > 0);
        QTRY_VERIFY(table->verticalScrollBar()->isVisible());
        // The last row is reached from the keyboard, the table scrolled to it.
        table->setFocus();
        QTest::keyClick(table, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(table->currentIndex().row(), 31);
        QVERIFY(table->verticalScrollBar()->value() > 0);
        QVERIFY(table->viewport()->rect().intersects(table->visualRect(table->currentIndex())));
        QVERIFY(widget<QPlainTextEdit>("detail")->toPlainText().contains("ROW31"_q));
        // Still the same at 1024 x 600.
        window->resize(1024 - 16, 600 - 40);
        QCoreApplication::processEvents();
        QCOMPARE(window->size(), QSize(1024 - 16, 600 - 40));
        QVERIFY(table->verticalScrollBar()->maximum() > 0);
    }

    // The journal of the workshop as its users open it goes beside the log, one line per
    // terminal; the broker of its settings file is used (it is not there: the terminals are
    // updated all the same, and the window says what the broker did not take).
    void journalBesideTheLogAndBroker()
    {
        const QString journal = workshopsettings::journalIn(QDir::currentPath());
        QFile::remove(journal);
        QFile::remove(journal + ".acked"_q);
        const QString path = settingsFile("# the workshop's broker\n"
                                          "publish = mqtt://127.0.0.1:1/atelier\n"
                                          "station-id = poste-essai\n");
        QVERIFY(!path.isEmpty());
        TerminalBench bench("ttyJR", "JRN", terminalsOf(2, -1));
        QVERIFY(bench.ready(2));
        StationSettings given = WorkshopWindow::kept(QDir::currentPath());
        QCOMPARE(given.journalFile, journal);
        given.packageDir = package;
        given.ports = bench.names;
        window = std::make_unique<WorkshopWindow>(given, false, nullptr, path);
        window->show();
        QSignalSpy ended(window.get(), &WorkshopWindow::runEnded);
        QVERIFY(window->start());
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 60000);
        QCOMPARE(ended.first().first().toInt(), int(Station::kAllUpdated));

        // Beside today's log.
        const QString log = logger::dailyFileName(QDir::currentPath(), QDate::currentDate());
        QVERIFY(QFile::exists(log));
        QCOMPARE(QFileInfo(journal).absolutePath(), QFileInfo(log).absolutePath());
        QFile file(journal);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList serials;
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 3); // two records, each ended by its line break
        QVERIFY(lines.last().isEmpty());
        for (int k = 0; k < 2; ++k) {
            QJsonParseError parsed;
            const QJsonObject record = QJsonDocument::fromJson(lines.at(k), &parsed).object();
            QCOMPARE(parsed.error, QJsonParseError::NoError);
            QCOMPARE(record.value("outcome"_q).toString(), "updated"_q);
            QCOMPARE(record.value("station"_q).toString(), "poste-essai"_q);
            serials << record.value("serialNumber"_q).toString();
        }
        serials.sort();
        QCOMPARE(serials, (QStringList{"JRN0"_q, "JRN1"_q}));
        // The broker was tried, and what it did not take is said.
        const QString notice = label("noticeLabel");
        QVERIFY2(widget<QLabel>("noticeLabel")->isVisible(), qPrintable(notice));
        QVERIFY2(notice.contains("127.0.0.1:1"_q), qPrintable(notice));
        QVERIFY2(notice.contains("2 non transmis"_q), qPrintable(notice));
    }

    // A settings file that cannot be used: nothing starts, the window says which file and
    // why, and starts once the file is corrected; the user name and password are taken from
    // the environment and checked as vardel-station checks them.
    void settingsRefused()
    {
        QString path = settingsFile("publish = mqtt://127.0.0.1/atelier\npublier = oui\n");
        QVERIFY(!path.isEmpty());
        window = std::make_unique<WorkshopWindow>(nothingToFind(), true, nullptr, path);
        window->show();
        QSignalSpy ended(window.get(), &WorkshopWindow::runEnded);
        auto *notice = widget<QLabel>("noticeLabel");
        QTRY_VERIFY(notice->isVisible());
        QVERIFY(!window->isRunning());
        QVERIFY(label("statusLabel").startsWith("Impossible de démarrer"_q));
        QVERIFY2(notice->text().contains(QDir::toNativeSeparators(path)), qPrintable(notice->text()));
        QVERIFY2(notice->text().contains("ligne 2 : clé inconnue « publier »"_q),
                 qPrintable(notice->text()));
        QVERIFY(widget<QPushButton>("startButton")->isEnabled());
        QVERIFY(!widget<QPushButton>("stopButton")->isEnabled());
        QVERIFY(!window->start());
        QVERIFY(ended.isEmpty());

        // A password without its user name: refused by the station before anything starts.
        QVERIFY(!settingsFile("publish = mqtt://127.0.0.1/atelier\n").isEmpty());
        qputenv("VARDEL_MQTT_PASSWORD", "secret");
        QVERIFY(window->start());
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        QCOMPARE(ended.takeFirst().first().toInt(), int(Station::kNothingStarted));
        QVERIFY2(notice->text().contains("VARDEL_MQTT_PASSWORD est donné sans VARDEL_MQTT_USER"_q),
                 qPrintable(notice->text()));
        // Both, to a broker elsewhere over plain mqtt://: refused unless the file allows it.
        QVERIFY(!settingsFile("publish = mqtt://192.0.2.1/atelier\nstation-id = p\n").isEmpty());
        qputenv("VARDEL_MQTT_USER", "atelier");
        QVERIFY(window->start());
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        qunsetenv("VARDEL_MQTT_USER");
        qunsetenv("VARDEL_MQTT_PASSWORD");
        QCOMPARE(ended.takeFirst().first().toInt(), int(Station::kNothingStarted));
        QVERIFY2(notice->text().contains("partiraient en clair vers 192.0.2.1:1883"_q),
                 qPrintable(notice->text()));

        // Corrected, without a broker: the run starts and finds no terminal (out of automatic
        // mode, where it would wait for one).
        widget<QCheckBox>("automaticBox")->setChecked(false);
        QVERIFY(!settingsFile("station-id = p\n").isEmpty());
        QVERIFY(window->start());
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        QVERIFY2(!notice->text().contains("réglages"_q), qPrintable(notice->text()));
        QVERIFY2(label("statusLabel").contains("aucun terminal détecté"_q),
                 qPrintable(label("statusLabel")));
    }

    // Closing the window during a run stops it first: the window stays until the run has
    // ended, then closes.
    void closeWaitsForTheRun()
    {
        window = std::make_unique<WorkshopWindow>(settings(), true);
        window->show();
        QTRY_VERIFY_WITH_TIMEOUT(window->isRunning(), 20000);
        QSignalSpy ended(window.get(), &WorkshopWindow::runEnded);
        QVERIFY(!window->close());
        QVERIFY(window->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        QTRY_VERIFY(!window->isVisible());
    }
    // The program as the desktop entry starts it, `vardel --atelier`, beside a package of its
    // own, with three terminals on mocked lines: the three are updated without a press, each
    // with its result line in the log and its record in the journal beside it, and the program
    // is still there afterwards, waiting for the next terminal.
    void atelierProgram()
    {
        if (!programtimings::kShortened)
            QSKIP("the program runs here with shortened waits: configure with "
                  "-DVARDEL_TEST_TIMINGS=ON");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // It reads its package beside itself: a copy of the program, beside a copy of the
        // package; it writes its log and journal in its working directory.
        const QString program = dir.filePath("vardel"_q);
        QVERIFY(QFile::copy(QStringLiteral(VARDEL_PATH), program));
        QVERIFY(QDir(dir.path()).mkpath("configuration"_q) && QDir(dir.path()).mkpath("run"_q));
        for (const QFileInfo &file : QDir(package).entryInfoList(QDir::Files))
            QVERIFY(QFile::copy(file.filePath(),
                                dir.filePath("configuration/"_q + file.fileName())));
        QProcess sim;
        QProcessEnvironment environment = programtimings::environment();
        environment.insert("QT_QPA_PLATFORM"_q, "offscreen"_q);
        environment.insert("XDG_CONFIG_HOME"_q, dir.filePath("config"_q)); // no broker
        environment.insert("XDG_CONFIG_DIRS"_q, dir.filePath("config"_q));
        sim.setProcessEnvironment(environment);
        sim.setWorkingDirectory(dir.filePath("run"_q));
        sim.setStandardOutputFile(dir.filePath("out.txt"_q));
        sim.setStandardErrorFile(dir.filePath("err.txt"_q));
        const QString base = "ttyAT%1_"_q.arg(QCoreApplication::applicationPid());
        sim.start(QStringLiteral(VARDEL_SIM_PATH),
                  QStringList{"--mock"_q, "--device"_q, base, "--devices"_q, "3"_q, "--catalogue"_q,
                                  "123456"_q} +
                      programtimings::terminalOptions() +
                      QStringList{"--"_q, program, "--atelier"_q});
        QVERIFY(sim.waitForStarted());
        const auto text = [&dir](const QString &name) {
            QFile file(dir.filePath(name));
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        };
        const auto log = [&] {
            const QStringList logs = QDir(dir.filePath("run"_q)).entryList({"*_logs.txt"_q});
            return logs.isEmpty() ? QString() : text("run/"_q + logs.first());
        };
        const QString success =
            "Installation réalisée avec succès - Le terminal a été correctement mis à jour. - "
            "[succès]"_q;
        QTRY_VERIFY2_WITH_TIMEOUT(log().count(success) == 3 &&
                                      text("run/atelier_journal.jsonl"_q).count(QLatin1Char('\n')) == 3,
                                  qPrintable(log() + text("err.txt"_q)), 120000);
        for (int k = 0; k < 3; ++k)
            QVERIFY2(log().contains("[%1%2] %3"_q.arg(base).arg(k).arg(success)), qPrintable(log()));
        const QStringList records =
            text("run/atelier_journal.jsonl"_q).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QSet<QString> serials;
        for (const QString &record : records) {
            const QJsonObject object = QJsonDocument::fromJson(record.toUtf8()).object();
            QCOMPARE(object["outcome"_q].toString(), "updated"_q);
            serials << object["serialNumber"_q].toString();
        }
        QCOMPARE(serials.size(), 3);
        // Nothing ends the workshop but the person: it is still running, then stopped here.
        QVERIFY(!sim.waitForFinished(500));
        QCOMPARE(sim.state(), QProcess::Running);
        sim.terminate(); // vardel-sim hands the signal on to the program
        if (!sim.waitForFinished(10000))
            sim.kill();
        const QString caught = sanitizer::reportIn(text("err.txt"_q).toUtf8());
        QVERIFY2(caught.isEmpty(), qPrintable(caught));
    }
};

QTEST_MAIN(TestWorkshop)
#include "tst_workshop.moc"
