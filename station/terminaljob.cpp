#include "terminaljob.h"

#include "config/configuration.h"
#include "link/serialport.h"
#include "model/installation/installwords.h"
#include "model/installation/logtexts.h"
#include "model/model.h"
#include "system/wallclock.h"

#include <QThread>

namespace {

// The rate is taken over this much of the recent past.
constexpr qint64 kRateWindowMs = 3000;
constexpr qint64 kShortestRateMs = 500;

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
    logIdentity();
    if (terminal.identity.followsRenaming())
        model->setPortResolver([this](const QString &) { return resolve(); });
    // Direct: on the job's thread, at the moment the Model reports, as the window would log it.
    QObject::connect(
        model.get(), &Model::setTotalProgression, model.get(),
        [this](const QString &text, int value) {
            model->logProgress(QStringLiteral("Total"), text, value);
        },
        Qt::DirectConnection);
    QObject::connect(
        model.get(), &Model::setModuleProgression, model.get(),
        [this](const QString &text, int value) {
            model->logProgress(QStringLiteral("Module"), text, value);
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

// How the terminal is followed, when it is not by its serial number, and why.
void TerminalJob::logIdentity()
{
    const TerminalIdentity &who = found.identity;
    if (who.kind() == TerminalIdentity::Kind::SerialNumber)
        return;
    QString why;
    if (found.serialNumber.isEmpty()) {
        why = QStringLiteral("Terminal sans numéro de série USB");
    } else {
        int carriers = 0;
        for (const PortInfo &info : board.listing())
            carriers += info.serialNumber == found.serialNumber ? 1 : 0;
        why = carriers > 1 ? QStringLiteral("Numéro de série %1 porté par %2 ports")
                                 .arg(found.serialNumber)
                                 .arg(carriers)
                           : QStringLiteral("Numéro de série %1 inutilisable (caractères de "
                                            "contrôle ou octets qui ne sont pas du texte)")
                                 .arg(found.serialNumber);
    }
    model->log(why + (who.kind() == TerminalIdentity::Kind::UsbSocket
                          ? QStringLiteral(" : le terminal est suivi par sa prise USB ") +
                                who.usbSocket()
                          : QStringLiteral(" : le terminal est suivi par son port")));
}

void TerminalJob::start(Listener onEvent, Recorder onEnd)
{
    listener = std::move(onEvent);
    recorder = std::move(onEnd);
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
    const InstallResult never = stationResult(InstallOutcome::Interrupted, FailureCause::None,
                                              QStringLiteral("Installation interrompue"),
                                              QStringLiteral("L'installation n'a pas démarré "
                                                             "sur ce terminal."));
    settle(never);
    finish(never);
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
    // The end as the window's: the result's log entries, then the release frames. The
    // station's record of the terminal is made in between: a station killed during the release
    // has it already.
    InstallResult result = model->install(found.label);
    model->logResult(result);
    const JobResult ended = settle(result);
    if (recorder) {
        const QJsonObject made = recorder(ended);
        std::lock_guard<std::mutex> lock(mutex);
        recorded = made;
    }
    model->releaseAfter(result);
    finish(result);
}

JobResult TerminalJob::settle(const InstallResult &result)
{
    std::lock_guard<std::mutex> lock(mutex);
    outcome.title = result.title;
    outcome.message = result.message;
    outcome.success = result.success();
    outcome.installation = result;
    outcome.port = state.port;
    outcome.seconds = clock.isValid() ? double(clock.elapsed()) / 1000.0 : 0.0;
    if (outcome.started.isValid())
        outcome.ended = wallclock::now();
    outcome.bytesSent = model->getSerialPort()->bytesWritten();
    return outcome;
}

void TerminalJob::finish(const InstallResult &result)
{
    board.release(this); // the port is free for the next terminal
    const bool success = result.success();
    JobView done;
    {
        std::lock_guard<std::mutex> lock(mutex);
        state.state = JobView::State::Done;
        state.success = success;
        state.upToDate = result.outcome == InstallOutcome::UpToDate;
        state.unverified = result.outcome == InstallOutcome::InstalledUnverified;
        // Updated, up to date or to check, in the log's words; a failure by its title.
        state.stage = success || state.unverified ? logLabelOf(result.outcome) : result.title;
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
// the terminal is looked for by its identity among the ports of the last listing that no other
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
    const std::optional<FoundTerminal> there = board.find(this, found.identity);
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!there || there->label == currentLabel)
            return currentLabel;
        currentLabel = there->label;
        state.port = there->port;
    }
    board.hold(this, there->port);
    model->log(logtexts::terminalFoundOn(there->label, found.identity.describe()));
    return there->label;
}

// A new stage, file or quarter of a percentage is an event of its own.
void TerminalJob::onProgress(const InstallProgress &progress)
{
    const QString stage = progressLabel(progress);
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

QJsonObject TerminalJob::record() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
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
