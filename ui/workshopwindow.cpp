#include "workshopwindow.h"
#include "ui_workshopwindow.h"

#include "model/installation/installwords.h"
#include "station/station.h"
#include "station/workshopsettings.h"
#include "stationrelay.h"
#include "system/printable.h"
#include "workshoprows.h"

#include <QCloseEvent>
#include <QDir>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

Q_LOGGING_CATEGORY(lcWorkshop, "vardel.workshop")

namespace {

// What a stopped run left in use by work still running on a thread of its own (a package read,
// a port listing: see Station::leftWorkRunning): kept until the program ends.
std::mutex keptMutex; // guards what follows
auto *const kept = new std::vector<std::shared_ptr<void>>; // never destroyed
auto *const leftWork = new std::vector<std::shared_ptr<const std::atomic<bool>>>; // its ends

void keepForever(std::shared_ptr<void> object)
{
    std::lock_guard<std::mutex> lock(keptMutex);
    kept->push_back(std::move(object));
}

void watchLeftWork(std::shared_ptr<const std::atomic<bool>> done)
{
    std::lock_guard<std::mutex> lock(keptMutex);
    leftWork->push_back(std::move(done));
}

} // namespace

// One run of the station. The run's thread uses the stops and the relay until run() has
// returned and it has said so; the window lets them go only after joining that thread.
struct WorkshopWindow::Run
{
    StopFlag stops;
    StationRelay relay;
    std::thread thread;
    int stopsAsked = 0;
    // The station left a package read or a port listing running on a thread of its own: the
    // station, and so this run, must outlive it (written before runReturned, read after join).
    bool abandoned = false;
};

WorkshopWindow::WorkshopWindow(const StationSettings &base, bool automatic, QWidget *parent,
                               const QString &settingsFile)
    : QMainWindow(parent), ui(new Ui::WorkshopWindow), rows(new WorkshopRows(this)),
      settings(base), settingsFile(settingsFile)
{
    StationRelay::registerTypes();
    ui->setupUi(this);
    ui->table->setModel(rows);
    QHeaderView *header = ui->table->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(true);
    const int widths[WorkshopRows::ColumnCount] = {110, 110, 170, 110, 90, 90, 100, 100};
    for (int column = 0; column < WorkshopRows::ColumnCount; ++column)
        ui->table->setColumnWidth(column, widths[column]);
    ui->table->verticalHeader()->setVisible(false);
    connect(ui->startButton, &QPushButton::clicked, this, [this] { start(); });
    connect(ui->stopButton, &QPushButton::clicked, this, [this] { stop(); });
    connect(ui->table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { showDetail(); });
    showCounts();
    ui->startButton->setFocus();
    if (automatic) {
        ui->automaticBox->setChecked(true);
        QTimer::singleShot(0, this, [this] { start(); });
    }
}

StationSettings WorkshopWindow::kept(const QString &logFolder)
{
    StationSettings given;
    given.journalFile = workshopsettings::journalIn(logFolder);
    return given;
}

bool WorkshopWindow::waitForLeftWork(int waitMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        bool ended = true;
        {
            std::lock_guard<std::mutex> lock(keptMutex);
            for (const auto &done : *leftWork)
                ended = ended && (!done || done->load());
        }
        if (ended)
            return true;
        if (clock.elapsed() >= waitMs)
            return false;
        QThread::msleep(10);
    }
}

WorkshopWindow::~WorkshopWindow()
{
    if (run) {
        // The window goes before the run's end: it ends without waiting for the terminals'
        // return from their reboot, and nothing more is shown.
        QObject::disconnect(&run->relay, nullptr, this, nullptr);
        while (run->stopsAsked < 2) {
            run->stops.request();
            ++run->stopsAsked;
        }
        run->thread.join();
        if (run->abandoned)
            keepForever(std::shared_ptr<Run>(run.release()));
    }
    delete ui;
}

bool WorkshopWindow::start()
{
    if (run)
        return false;
    StationSettings asked = settings;
    asked.watch = ui->automaticBox->isChecked();
    rows->clear();
    ui->detail->clear();
    ui->noticeLabel->clear();
    ui->noticeLabel->setVisible(false);
    showCounts();
    QString error;
    if (!settingsFile.isEmpty() && !workshopsettings::read(settingsFile, asked, error)) {
        // A workshop set up to publish does not run without its broker: the operator has the
        // file corrected, then starts again.
        qCWarning(lcWorkshop) << "settings file refused:" << error;
        setStatus(QStringLiteral("Impossible de démarrer : les réglages de l'atelier sont "
                                 "incorrects."));
        addNotice(printable::text(error) +
                  QStringLiteral(" Faites corriger le fichier, puis cliquez sur Démarrer."));
        return false;
    }
    if (!asked.publishUrl.isEmpty())
        qCInfo(lcWorkshop) << "publishing to" << asked.broker.text();
    if (!asked.journalFile.isEmpty())
        qCInfo(lcWorkshop) << "journal:" << asked.journalFile;
    run = std::make_unique<Run>();
    connectRun(*run);
    setRunning(true);
    setStatus(QStringLiteral("Démarrage…"));
    qCInfo(lcWorkshop) << "run started, automatic:" << asked.watch;
    Run *const started = run.get();
    started->thread = std::thread([started, asked] {
        auto station = std::make_unique<Station>(asked, started->stops, started->relay);
        const int status = station->run();
        if (station->leftWorkRunning()) {
            started->abandoned = true;
            watchLeftWork(station->leftWorkDone());
            keepForever(std::shared_ptr<Station>(station.release())); // its work uses it
        }
        station.reset();
        started->relay.returned(status);
    });
    return true;
}

void WorkshopWindow::stop()
{
    if (!run || run->stopsAsked >= 2)
        return;
    ++run->stopsAsked;
    qCInfo(lcWorkshop) << "stop requested, request" << run->stopsAsked;
    run->stops.request();
    if (run->stopsAsked >= 2)
        ui->stopButton->setEnabled(false);
}

void WorkshopWindow::connectRun(Run &started)
{
    const StationRelay *relay = &started.relay;
    const auto queued = Qt::QueuedConnection;
    connect(relay, &StationRelay::runRefused, this,
            [this](StationObserver::Refusal, const QString &text) {
                setStatus(QStringLiteral("Impossible de démarrer : ") + printable::text(text));
                addNotice(printable::text(text));
            },
            queued);
    connect(relay, &StationRelay::runWarned, this,
            [this](StationObserver::Warning, const QString &text) {
                addNotice(printable::text(text));
            },
            queued);
    connect(relay, &StationRelay::searchStarted, this,
            [this] { setStatus(QStringLiteral("Recherche des terminaux…")); }, queued);
    connect(relay, &StationRelay::servingBegan, this,
            [this](bool watch) {
                setStatus(watch ? QStringLiteral("Mode automatique : chaque terminal branché "
                                                 "est mis à jour une fois.")
                                : QStringLiteral("Mise à jour des terminaux trouvés."));
            },
            queued);
    connect(relay, &StationRelay::terminalWaiting, this,
            [this](const FoundTerminal &terminal, const QString &awaitedPort) {
                setStatus(QStringLiteral("Terminal %1 mis de côté : le terminal de %2 "
                                         "redémarre peut-être à sa place.")
                              .arg(printable::text(terminal.port),
                                   printable::text(awaitedPort)));
            },
            queued);
    connect(relay, &StationRelay::jobBegan, this,
            [this](const FoundTerminal &terminal) {
                rows->add(terminal);
                showCounts();
            },
            queued);
    connect(relay, &StationRelay::rowsNow, this,
            [this](const QList<JobView> &views) {
                rows->update(views);
                showCounts();
                showDetail();
            },
            queued);
    connect(relay, &StationRelay::jobDone, this,
            [this](const JobResult &result) {
                const int row = rows->end(result);
                if (row < 0)
                    qCWarning(lcWorkshop) << "a result matches no row:" << result.startPort;
                showCounts();
                showDetail();
            },
            queued);
    connect(relay, &StationRelay::stopAccepted, this,
            [this](StopRequests::Event which, bool interrupted) {
                if (which == StopRequests::Event::Second)
                    setStatus(QStringLiteral("Seconde demande d'arrêt : le retour des terminaux "
                                             "qui redémarrent n'est plus attendu."));
                else if (interrupted)
                    setStatus(QStringLiteral("Arrêt demandé : aucun nouveau terminal ne démarre ; "
                                             "ceux qui activent ou redémarrent terminent."));
                else
                    setStatus(QStringLiteral("Fin du mode automatique demandée."));
            },
            queued);
    connect(relay, &StationRelay::brokerSaid, this,
            [this](const QString &text) { addNotice(printable::text(text)); }, queued);
    connect(relay, &StationRelay::runFinished, this,
            [this](const report::Run &ended, const QString &publishing) {
                setStatus(ended.terminals.isEmpty()
                              ? QStringLiteral("Aucun terminal n'a été mis à jour.")
                              : report::counts(ended.terminals));
                if (!publishing.isEmpty())
                    addNotice(printable::lines(publishing));
            },
            queued);
    connect(relay, &StationRelay::runReturned, this, &WorkshopWindow::onRunReturned, queued);
}

void WorkshopWindow::onRunReturned(int status)
{
    run->thread.join();
    if (run->abandoned) {
        qCWarning(lcWorkshop) << "the station left work running: its run is kept";
        keepForever(std::shared_ptr<Run>(run.release()));
    }
    run.reset();
    qCInfo(lcWorkshop) << "run ended, status" << status;
    setRunning(false);
    showCounts();
    showDetail();
    emit runEnded(status);
    if (closeWhenEnded)
        close();
}

void WorkshopWindow::closeEvent(QCloseEvent *event)
{
    if (!run) {
        event->accept();
        return;
    }
    // The terminals being updated are not left half-written: the window waits for the run.
    closeWhenEnded = true;
    stop();
    event->ignore();
}

void WorkshopWindow::setRunning(bool running)
{
    ui->startButton->setEnabled(!running);
    ui->stopButton->setEnabled(running);
    ui->automaticBox->setEnabled(!running);
    if (!running && ui->stopButton->hasFocus())
        ui->startButton->setFocus();
}

void WorkshopWindow::setStatus(const QString &text)
{
    ui->statusLabel->setText(text);
    ui->statusLabel->setToolTip(text);
}

void WorkshopWindow::addNotice(const QString &text)
{
    const QString now = ui->noticeLabel->text();
    ui->noticeLabel->setText(now.isEmpty() ? text : now + QLatin1Char('\n') + text);
    ui->noticeLabel->setVisible(true);
}

void WorkshopWindow::showCounts()
{
    // "Mis à jour : 3": a verdict's word, capitalised, and its count.
    const auto count = [](const QString &word, int n) {
        return word.left(1).toUpper() + word.mid(1) + QStringLiteral(" : ") + QString::number(n);
    };
    const WorkshopRows::Counts counts = rows->counts();
    using Verdict = WorkshopRows::Verdict;
    ui->waitingCount->setText(count(WorkshopRows::verdictWord(Verdict::Waiting), counts.waiting));
    ui->runningCount->setText(count(WorkshopRows::verdictWord(Verdict::Running), counts.running));
    ui->updatedCount->setText(count(WorkshopRows::verdictWord(Verdict::Updated), counts.updated));
    ui->unverifiedCount->setText(
        count(WorkshopRows::verdictWord(Verdict::Unverified), counts.unverified));
    ui->failedCount->setText(count(WorkshopRows::verdictWord(Verdict::Failed), counts.failed));
    ui->upToDateCount->setText(
        count(WorkshopRows::verdictWord(Verdict::UpToDate), counts.upToDate));
}

void WorkshopWindow::showDetail()
{
    const int row = ui->table->selectionModel()->currentIndex().row();
    QStringList lines;
    if (row >= 0 && row < rows->rowCount()) {
        const QString serial = rows->serialNumber(row);
        lines << QStringLiteral("Terminal %1, n° de série %2")
                     .arg(printable::text(rows->port(row)),
                          serial.isEmpty() ? QStringLiteral("inconnu") : printable::text(serial));
        const QString note =
            rows->data(rows->index(row, WorkshopRows::Note)).toString();
        if (const JobResult *result = rows->result(row)) {
            lines << QStringLiteral("Résultat : ") +
                         shortLabelOf(result->installation.outcome);
            lines << printable::text(result->title);
            lines << printable::lines(result->message);
            if (!result->installation.advice.isEmpty())
                lines << printable::lines(result->installation.advice);
            if (!result->installation.reportFile.isEmpty())
                lines << QStringLiteral("Rapport pour le support : ") +
                             QDir::toNativeSeparators(result->installation.reportFile);
        } else {
            lines << QStringLiteral("Résultat : ") +
                         WorkshopRows::verdictWord(rows->verdict(row));
        }
        if (!note.isEmpty())
            lines << QStringLiteral("Remarque : ") + note;
    }
    const QString text = lines.join(QLatin1Char('\n'));
    if (ui->detail->toPlainText() != text)
        ui->detail->setPlainText(text);
}
