#pragma once

#include "model/installation/installresult.h"
#include "model/installation/stagemeter.h"
#include "model/report/linerecorder.h"
#include "model/report/logcapture.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class Application;
class Batch;
class Configuration;
class SerialPort;
class logger;
struct PcscApi;
class SealedFile;

// The object behind the window: it owns the configuration, the serial link and the log, and
// carries every command exchanged with the terminal. Each group of commands has its own source
// file in this folder. It knows no window: whoever drives it (the operator's window, the
// station, a test) connects to its signals.
class Model : public QObject
{
    Q_OBJECT

public:
    // Fixed waits of the protocol, in milliseconds. The shipped program always runs with these
    // values; only the test suite may shorten them (setTimingForTests).
    struct Timing
    {
        int requestDelayMs = 200;      // before sendInfo, getAuthorization, load, resends
        int shortDelayMs = 10;         // before activateApplications and rebootTerminal
        int perFileActivationMs = 500; // after activateApplications' write, per file
        int hterminalDelayMs = 4000;   // before getHTerminal's write
        int replyTimeoutMs = 4000;     // single-shot reads of the session and reboot replies
        int finalAckTimeoutMs = 1000;  // final acknowledgement of a download
        int releaseTimeoutMs = 1000;   // replies of the release sweep
        int applicationPauseMs = 50;   // between two records of the application list
        int rebootWaitMinMs = 40000;   // shortest wait for a rebooted terminal
        int rebootStepMs = 1000;       // one step of that wait
        int rebootTryTimeoutMs = 4000; // a try of that wait: how long it awaits the answer
        int searchPauseMs = 2000;      // before every search but the first
        int settleMs = 2000;           // quiet line awaited before a failed download is retried
        int openRetryMs = 2000;        // a port that will not open is tried again this long
        int exactReadTimeoutMs = 2000; // the exact read's wait for its next bytes (SerialPort)

        // Sets the waits that `text` names ("hterminalDelayMs=20,rebootStepMs=100"), by the
        // names above; the others keep their values. False, with the reason, when a name is
        // unknown or a value is not a number of milliseconds.
        [[nodiscard]] bool apply(const QString &text, QString &error);
    };
    // The waits every new Model starts with, and the station's pauses between two searches.
    // The shipped ones; in a build configured with VARDEL_TEST_TIMINGS (the test suite's, never
    // a shipped one) the environment variable of that name may shorten them, so that the
    // programs the tests start run in a fraction of the protocol's time.
    static Timing defaultTiming();

    Model();
    ~Model() override;

    // One log entry, from any thread.
    void log(const QString &text);
    // The entry of a bar's progress, "Module : TEXT - VALUE" or "Total : TEXT - VALUE", as the
    // front ends log what the Model reports (bar: "Module" or "Total"). The report for support
    // may leave such entries out of a long download (see LogCapture). From any thread.
    void logProgress(const QString &bar, const QString &text, int value);
    // Why the log file cannot be opened or written (French, naming the file); empty while it
    // can. From any thread.
    QString logFailure() const;
    // Text put at the start of every entry of this Model ("[ttyACM1] " when several terminals
    // share the log); empty by default. Set it before the Model is used.
    void setLogPrefix(const QString &prefix) { logPrefix = prefix; }

    // Configuration (worker), and what the window shows of it. The package is read and checked
    // once, files included, and the Model then uses only what was checked.
    void loadConfiguration();
    // Reads the package from `directory` (ending with a separator) instead of the configuration
    // folder beside the program. Call it before loadConfiguration.
    void setConfigurationDirectory(const QString &directory);
    // Installs `package`, loaded and checked elsewhere (Configuration::loadChecked), instead of
    // one of its own: several Models, one per terminal, share one package read-only. Call it
    // before the installation starts.
    void usePackage(std::shared_ptr<const Configuration> package);
    QString getImage() const;
    QByteArray getPicture() const; // the picture's bytes, checked; empty: none
    QString getTitle() const;
    QString getDescription() const;

    // Terminal search (worker), and its results for the window.
    void searchTerminals();
    QStringList getFoundTerminals() const;
    int getPreferredIndex() const;

    // The installation scenario (worker): every batch, from opening the port to the terminal's
    // return. Its progress comes through the signals, its end is the result.
    InstallResult install(const QString &portLabel);
    // The end of an installation, the same for every front end, in two steps around what the
    // front end shows: the result's log entries (the durations, one entry per download, the
    // result line, then the cause of a failure when it is known) and, unless the terminal was
    // updated, the report for support, whose file it notes in `result.reportFile`; then the
    // release frames, to every found terminal and to the installed one where it is now. From
    // any thread, never during an installation.
    void logResult(InstallResult &result);
    void releaseAfter(const InstallResult &result);
    // Writes a report for support now, beside the log (yyyyMMdd_hhmmss_rapport.txt), about the
    // last installation that ended through logResult, if any; logs where it went, or why it
    // could not be written. Returns its path; empty when it could not be written. From the
    // thread that calls logResult, never during an installation.
    QString writeReport();
    // Put in the name of this Model's reports, before "rapport" ("ttyACM1" when several
    // terminals share the folder). Set it before the Model is used.
    void setReportTag(const QString &tag) { reportTag = tag; }
    // Release frames to every found terminal (never during an installation).
    void releaseTerminals();

    // Gives, at each open of the installation (each batch, each try of the reboot wait), the
    // label to open now from the label install() was given: a terminal that comes back from its
    // reboot under another port name is followed this way. Unset, the label is used as given.
    // Set it before the installation starts; it runs on the installation's thread.
    void setPortResolver(std::function<QString(const QString &)> resolver)
    {
        portResolver = std::move(resolver);
    }
    // Asks a running installation to stop at its next safe point: before a batch, between the
    // stages of a session, between files and between data blocks; never between the activation
    // and the end of the reboot wait. It then closes the port without activating anything more
    // and ends Interrupted ("Installation interrompue", which says the batches already
    // activated); its driver releases the terminal, as after any result. From any thread; stays
    // set for the life of the Model.
    void requestCancel() { cancelRequested = true; }
    // Asks a running installation not to wait any longer for its terminal to come back from a
    // reboot: the wait ends before its next try, and the terminal is left unchecked. From any
    // thread; stays set for the life of the Model.
    void requestStopWaiting() { stopWaitingRequested = true; }
    // Whether the next installations send a batch whose declared entries the terminal already
    // lists (they are passed over by default, and a terminal that lists every batch's is left
    // as it is: "déjà à jour"). Set it before the installation starts.
    void setReinstall(bool sendAnyway) { reinstall = sendAnyway; }

    // The terminal's commands, one exchange each: the steps the installation is made of, which
    // the protocol's tests also drive one by one. Each returns whether the terminal accepted;
    // one that fails writes its log line and notes why (lastFailure).

    // Why the last command that failed did (its log line says it in words). commandFailed
    // notes it, writes the log line and returns false, for `return commandFailed(...)` in the
    // commands and their shared exchange (exchange.h).
    FailureCause lastFailure() const { return failure; }
    bool commandFailed(FailureCause cause, const QString &logLine);

    // CRC-16/KERMIT of buffer[0..n-1], stored in buffer[n] (low) and buffer[n+1] (high).
    static void computeCrc(quint8 *buffer, int n);
    // Whether buffer[n], buffer[n+1] hold that CRC; afterwards they hold it in any case.
    static bool checkCrc(quint8 *buffer, int n);

    // Session opening.
    bool initializeTerminal();
    // The same exchange, with the reply judged: nothing at all (or the port could not be
    // written), bytes that are not a whole short frame of the initialisation's type with its
    // CRC, or such a frame. What tells a rebooted terminal that is back from a stray byte. It
    // logs nothing: in the reboot wait silence is expected, and the wait says what it saw.
    enum class InitAnswer
    {
        None,
        Garbled,
        Valid,
    };
    InitAnswer answerInitialisation(int timeoutMs);
    bool isVardelOnTerminal();

    // Terminal information.
    bool getHTerminal();
    bool checkHTerminalCoherency();
    bool getApplications();

    // Activation and reboot.
    bool activateApplications(qint32 count);
    bool rebootTerminal();

    // One file: advertisement, authorisation, download, from the content the package check
    // read. A file whose name and length do not fit the advertisement is not sent: it fails.
    bool sendInfo(const Application *file);
    bool getAuthorization();
    bool load(const Application *file);

    // The package in use: loaded on a worker thread, read by the window's thread and the
    // installation's. The pointer is handed over under a lock, so that every thread reads it,
    // and the package it points to, whole.
    const Configuration *getConfiguration() const { return package().get(); }
    std::shared_ptr<const Configuration> package() const;
    SerialPort *getSerialPort() const { return serialPort; }
    const std::array<quint8, 126> &getTerminalRecord() const { return terminalRecord; }
    QStringList getApplicationList() const { return applications; }

    // The test suite's seam, and nothing else's: the shipped programs run with the protocol's
    // waits (defaultTiming) and the platform's PC/SC service.
    void setTimingForTests(const Timing &waits);
    // The waits of every Model built from now on (a window builds its own Model and starts its
    // workers at once, so its waits must be set before it is built).
    static void setInitialTimingForTests(const Timing &waits) { initialTiming = waits; }
    // Whether the next terminal search is the run's first (the one that switches the readers).
    static void setFirstSearchForTests(bool first) { firstSearch = first; }
    // A fake PC/SC service in place of the platform's own (null: the platform's own again).
    void setPcscForTests(const PcscApi *api) { pcscApi = api; }

signals:
    void configurationLoaded();
    void configurationFailed();
    void terminalsFound();
    void terminalsFailed();
    void setModuleProgression(QString text, int value);
    void setTotalProgression(QString text, int value);
    // Where the installation stands, emitted after each of the two above and when a stage starts
    // that shows no text of its own.
    void progressReported(const InstallProgress &progress);

private:
    void noteFailure(FailureCause cause) { failure = cause; }
    // One exchange of the initialisation frame, its reply awaited up to timeoutMs; logs its
    // failed step, never the attempts line. Any answer counts.
    bool initializeTerminalOnce(int timeoutMs);
    void setPackage(std::shared_ptr<const Configuration> loaded);

    mutable std::mutex configurationMutex;              // guards configuration, not what it holds
    std::shared_ptr<const Configuration> configuration; // only read once loaded
    QString packageDirectory;                           // empty: the program's own
    SerialPort *serialPort;
    std::array<quint8, 126> terminalRecord{};
    bool terminalRecordRead = false;
    QByteArray terminalRecordReply;
    QStringList applications;
    bool applicationsRead = false;
    ::logger *logger;
    QString logPrefix;
    QString logFolder; // where the log and the reports go
    void write(const QString &text, bool progress);
    QString reportTag;
    Timing timing;
    // What a new Model starts with; only the test suite changes it, before it builds a window.
    static Timing initialTiming;
    static std::atomic<bool> firstSearch; // no terminal search has begun yet in this run
    const PcscApi *pcscApi = nullptr;     // the PC/SC service; null: the platform's own
    std::function<QString(const QString &)> portResolver;
    std::atomic<bool> cancelRequested{false};
    std::atomic<bool> stopWaitingRequested{false};
    std::atomic<bool> reinstall{false};
    FailureCause failure = FailureCause::None; // of the last command that failed
    InstallProgress progress;                  // of the running installation (its thread)
    StageMeter meter;                          // of the running installation (its thread)
    LineRecorder recorder;                     // watches the serial port
    LogCapture capture;                        // the last installation's log entries
    std::optional<InstallResult> lastResult;   // the last one logResult ended

    // The steps of the installation scenario. A failed step fills the result with its stage,
    // its cause and what the operator reads; `Totals` carries the total bar's running values.
    struct Totals
    {
        int step = 0;  // 10 / number of batches
        int base = 0;  // where the next batch starts
        int value = 0; // the current stage
    };
    void runScenario(const QString &portLabel, InstallResult &result);
    // The port opened and a session up to the application list, for a batch.
    bool openBatch(const QString &portLabel, Totals &totals, InstallResult &result);
    // Whether the session's list already holds every entry `batch` declares; then it is not
    // sent (unless a reinstallation was asked for), and the log says so.
    bool alreadyInstalled(const Batch &batch, InstallResult &result);
    // The batch on an open session: its files, the activation, the reboot, the wait for the
    // terminal and, when the batch declares entries, the list read again.
    bool installBatch(const Batch &batch, const QString &portLabel, Totals &totals,
                      InstallResult &result);
    // Opens the port, trying again for a while (udev gives a new port its permissions a moment
    // after it appears); when it will not open, finds out why and says it in the result.
    bool openForInstallation(const QString &portLabel, InstallResult &result);
    bool openSession(Totals &totals, InstallResult &result);
    bool installFile(const Application *file, int value, InstallResult &result);
    bool activateAndReboot(int count, Totals &totals, InstallResult &result);
    // The reboot wait after a batch: returns once the terminal has come back (a valid answer
    // to the initialisation after it went silent or its port went away; the port is then left
    // open) or the wait is over, with what was seen in `batch`.
    void waitForReboot(const QString &portLabel, ActivatedBatch &batch);
    // The list read again on the session of a terminal that came back, judged against what
    // `batch` declares; closes the port. `value`: the total bar's.
    void verifyBatch(const Batch &batch, int value, InstallResult &result);
    qint64 rebootWaitMs() const;
    // The clean-up of a failure once the port is open; always false.
    bool fail(bool reboot, const QString &title, const QString &message, InstallResult &result);
    // Stage and cause of a failure, and what a terminal that stopped answering adds.
    void failed(FailureCause cause, InstallResult &result);
    // The end of an installation whose every batch was activated or already installed:
    // updated, already up to date, or to check.
    void finished(InstallResult &result);
    // The end of an installation stopped after a batch that did not come back, or that does
    // not list what it declares: the later batches are not attempted. Always false.
    bool stoppedUnverified(InstallResult &result);
    // What a failure or an interruption after an activation adds to its message: the batches
    // the terminal activated and those it did not get.
    void sayBatches(InstallResult &result) const;
    // The end of a cancelled installation: the port closed, nothing more activated; always false.
    bool interrupted(InstallResult &result);
    // Both bars' reports, each followed by the value; a stage without a text of its own.
    void showTotal(InstallStage stage, const QString &text, int value);
    void showModule(const QString &text, int value);
    void enterStage(InstallStage stage);
    QString currentLabel(const QString &portLabel) const;

    // The steps of a download (one file's plain content in numbered blocks).
    using DataBlock = std::array<quint8, 128>;
    bool startDownload(const Application &file);
    bool sendBlocks(const SealedFile &sealed, const QString &progressText);
    bool sendBlock(const DataBlock &data, quint16 number);
    bool finalAcknowledgement();
    void release(const QStringList &labels);
    // The report about `result` (null: no installation yet), written and logged.
    QString writeReportAbout(const InstallResult *result);
};
