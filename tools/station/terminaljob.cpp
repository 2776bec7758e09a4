#include "terminaljob.h"

#include "app/wallclock.h"
#include "config/configuration.h"
#include "link/serialport.h"
#include "model/logtexts.h"
#include "model/model.h"

#include <QThread>

namespace {

// The rate is taken over this much of the recent past.
constexpr qint64 kRateWindowMs = 3000;
constexpr qint64 kShortestRateMs = 500;

// The stage as the live lines show it.
QString stageText(const InstallProgress &progress)
{
    switch (progress.stage) {
    case InstallStage::Starting:
        return QStringLiteral("démarrage");
    case InstallStage::Opening:
        return QStringLiteral("ouverture du port");
    case InstallStage::Initialising:
        return QStringLiteral("initialisation");
    case InstallStage::ReceivingApplication:
        return QStringLiteral("application Mirandol");
    case InstallStage::HardwareRead:
        return QStringLiteral("lecture du matériel");
    case InstallStage::HardwareCheck:
        return QStringLiteral("contrôle du matériel");
    case InstallStage::ApplicationList:
        return QStringLiteral("liste des applications");
    case InstallStage::Advertisement:
    case InstallStage::Authorisation:
    case InstallStage::Download:
        return QStringLiteral("téléchargement %1/%2").arg(progress.file).arg(progress.fileCount);
    case InstallStage::Activation:
        return QStringLiteral("activation");
    case InstallStage::Reboot:
    case InstallStage::RebootWait:
        return QStringLiteral("redémarrage");
    case InstallStage::Verification:
        return QStringLiteral("vérification");
    case InstallStage::Finished:
        break;
    }
    return QStringLiteral("terminé");
}

// A result that comes from the station itself (an unusable package, a run stopped before this
// terminal started).
InstallResult stationResult(InstallOutcome outcome, FailureCause cause, const QString &title,
                            const QString &message)
{
    InstallResult result;
    result.outcome = outcome;
    result.cause = cause;
    result.title = title;
    result.message = message;
    return result;
}

} // namespace

TerminalJob::TerminalJob(const FoundTerminal &terminal, PortBoard &portBoard)
    : found(terminal), board(portBoard), model(std::make_unique<Model>()),
      currentLabel(terminal.label)
{
    state.port = outcome.startPort = outcome.port = terminal.port;
    state.serialNumber = outcome.serialNumber = terminal.serialNumber;
    model->setLogPrefix(QLatin1Char('[') + terminal.port + QStringLiteral("] "));
    model->getSerialPort()->setPortLister([this] { return board.listing(); });
    board.hold(this, terminal.port);
    model->setReportTag(terminal.port); // several terminals' reports share the folder
    const int carriers = terminal.serialNumber.isEmpty() ? 0 : board.sharing(terminal.serialNumber);
    followBySerial = carriers == 1;
    if (followBySerial)
        model->setPortResolver([this](const QString &) { return resolve(); });
    else if (carriers == 0)
        model->log(QStringLiteral("Terminal sans numéro de série USB : il est suivi par son port"));
    else
        model->log(QStringLiteral("Numéro de série %1 porté par %2 ports : le terminal est suivi "
                                  "par son port")
                       .arg(terminal.serialNumber)
                       .arg(carriers));
    // Direct: on the job's thread, at the moment the Model reports, as the window would log it.
    QObject::connect(
        model.get(), &Model::setTotalProgression, model.get(),
        [this](const QString &text, int value) {
            model->log(logtexts::progress(QStringLiteral("Total"), text, value));
        },
        Qt::DirectConnection);
    QObject::connect(
        model.get(), &Model::setModuleProgression, model.get(),
        [this](const QString &text, int value) {
            model->log(logtexts::progress(QStringLiteral("Module"), text, value));
        },
        Qt::DirectConnection);
    QObject::connect(
        model.get(), &Model::progressReported, model.get(),
        [this](const InstallProgress &progress) { onProgress(progress); }, Qt::DirectConnection);
}

TerminalJob::~TerminalJob()
{
    wait();
    board.release(this);
}

void TerminalJob::prepare(std::shared_ptr<const Configuration> package, bool reinstall)
{
    model->usePackage(std::move(package));
    model->setReinstall(reinstall);
}

void TerminalJob::start(Listener onEvent)
{
    listener = std::move(onEvent);
    {
        std::lock_guard<std::mutex> lock(mutex);
        state.state = JobView::State::Running;
        outcome.started = wallclock::now();
    }
    clock.start();
    thread.reset(QThread::create([this] { run(); }));
    thread->start();
}

void TerminalJob::markNotStarted()
{
    finish(stationResult(InstallOutcome::Interrupted, FailureCause::None,
                         QStringLiteral("Installation interrompue"),
                         QStringLiteral("L'installation n'a pas démarré sur ce terminal.")));
}

void TerminalJob::cancel()
{
    if (model)
        model->requestCancel();
}

void TerminalJob::stopWaiting()
{
    if (model)
        model->requestStopWaiting();
}

void TerminalJob::setNote(const QString &note)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.note = note;
}

void TerminalJob::wait()
{
    if (thread)
        thread->wait();
}

void TerminalJob::retire()
{
    wait();
    thread.reset();
    model.reset();
}

void TerminalJob::run()
{
    // The end as the window's: the result's log entries, then the release frames.
    InstallResult result = model->install(found.label);
    model->logResult(result);
    model->releaseAfter(result);
    finish(result);
}

void TerminalJob::finish(const InstallResult &result)
{
    board.release(this); // the port is free for the next terminal
    const bool success = result.success();
    JobView done;
    {
        std::lock_guard<std::mutex> lock(mutex);
        outcome.title = result.title;
        outcome.message = result.message;
        outcome.success = success;
        outcome.installation = result;
        outcome.port = state.port;
        outcome.seconds = clock.isValid() ? double(clock.elapsed()) / 1000.0 : 0.0;
        if (outcome.started.isValid())
            outcome.ended = wallclock::now();
        outcome.bytesSent = model->getSerialPort()->bytesWritten();
        state.state = JobView::State::Done;
        state.success = success;
        state.upToDate = result.outcome == InstallOutcome::UpToDate;
        state.unverified = result.outcome == InstallOutcome::InstalledUnverified;
        state.stage = state.upToDate ? QStringLiteral("déjà à jour")
                      : success      ? QStringLiteral("mis à jour")
                      : result.outcome == InstallOutcome::InstalledUnverified
                          ? QStringLiteral("installé, à vérifier")
                          : result.title;
        state.file.clear();
        state.percent = -1;
        state.bytesPerSecond = 0;
        done = state;
    }
    finished = true;
    if (listener)
        listener(done);
}

// The label to open now. The first open is on the port the terminal was found on. Every later
// one comes after a reboot (the next batch, the tries of the reboot wait) or is the release:
// the terminal stays on its port while no other port carries its serial number, and follows
// the number to the one terminal port of the last listing that carries it and that no other
// job holds. While it is away (rebooting) the port it was last seen on is kept: the open fails
// and the scenario tries again.
QString TerminalJob::resolve()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!opened) {
            opened = true;
            return currentLabel;
        }
    }
    const std::optional<FoundTerminal> there = board.find(this, found.serialNumber);
    if (!there) {
        bool note = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            note = !sharedNoted && board.sharing(found.serialNumber) > 1;
            sharedNoted = sharedNoted || note;
        }
        if (note)
            model->log(QStringLiteral("Numéro de série %1 porté par plusieurs ports : le "
                                      "terminal n'est plus suivi que par son port")
                           .arg(found.serialNumber));
        std::lock_guard<std::mutex> lock(mutex);
        return currentLabel;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (there->label == currentLabel)
            return currentLabel;
        currentLabel = there->label;
        state.port = there->port;
    }
    board.hold(this, there->port);
    model->log(QStringLiteral("Terminal retrouvé sur ") + there->label +
               QStringLiteral(" (numéro de série ") + found.serialNumber + QLatin1Char(')'));
    return there->label;
}

// A new stage, file or quarter of a percentage is an event of its own.
void TerminalJob::onProgress(const InstallProgress &progress)
{
    const QString stage = stageText(progress);
    const QString file = progress.stage == InstallStage::Download ? progress.fileName : QString();
    JobView now;
    bool milestone = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        sample(clock.elapsed(), model->getSerialPort()->bytesWritten());
        milestone = stage != state.stage || file != state.file ||
                    (progress.percent >= 0 && progress.percent / 25 != state.percent / 25);
        state.stage = stage;
        state.file = file;
        state.percent = progress.percent;
        state.progress = progress;
        now = state;
    }
    if (milestone && listener)
        listener(now);
}

JobView TerminalJob::view()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (state.state == JobView::State::Running)
        sample(clock.elapsed(), model->getSerialPort()->bytesWritten());
    return state;
}

JobResult TerminalJob::result() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return outcome;
}

void TerminalJob::sample(qint64 now, quint64 bytes)
{
    samples.emplace_back(now, bytes);
    while (samples.size() > 2 && samples[1].first <= now - kRateWindowMs)
        samples.pop_front();
    const qint64 span = now - samples.front().first;
    if (span >= kShortestRateMs)
        state.bytesPerSecond = double(bytes - samples.front().second) * 1000.0 / double(span);
}
