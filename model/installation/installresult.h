#pragma once

#include "installfigures.h"
#include "link/portdiagnosis.h"

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

// Where an installation stands and how it ended, as values. Every front end words them in its
// own way (the window's bars and boxes, the station's lines and JSON); none reads them back
// from a text.

// The steps of the scenario, in the order they come within a batch.
enum class InstallStage
{
    Starting,             // before the first batch
    Opening,              // the terminal's port
    Initialising,         // the initialisation frame
    ReceivingApplication, // is the receiving application there?
    HardwareRead,         // the terminal's hardware record
    HardwareCheck,        // ... against the package's accepted configurations
    ApplicationList,
    Advertisement, // of one file
    Authorisation, // of its download
    Download,      // its data blocks
    Activation,
    Reboot,     // the reboot frames
    RebootWait,   // until the terminal has restarted and answers again, or the wait is over
    Verification, // its application list read again, against what the batch declares
    Finished,     // every batch done
};

// How an installation ended.
enum class InstallOutcome
{
    Updated,             // every batch activated, rebooted and back (and listing what it
                         // declares), or already there: all is well
    UpToDate,            // the terminal listed everything every batch declares: nothing sent
    InstalledUnverified, // batches activated, but a reboot went unconfirmed, the terminal did
                         // not come back after it, or it does not list what the batch declares:
                         // someone must look at it
    Failed,
    Interrupted, // stopped at a safe point on request
};

// Why a stage failed.
enum class FailureCause
{
    None,            // no failure
    Package,         // the package: no scenario, a file that cannot be read
    Mismatch,        // the terminal's hardware is not one the package accepts
    PortUnavailable, // the port would not open (see InstallResult::openFailure)
    Refused,         // the terminal answered, and said no
    BadReply,        // a damaged reply (CRC, cut short) or one that answers something else
    NoAnswer,        // nothing came back at all (or the port could no longer be written)
};

// Where a running installation is: sent with every report of the two bars.
struct InstallProgress
{
    InstallStage stage = InstallStage::Starting;
    int batch = 0; // from 1; 0 before the first
    int batchCount = 0;
    int file = 0; // from 1 within the batch; 0 outside the file stages
    int fileCount = 0;
    QString fileName; // as advertised ("APP.BIN"); empty outside the file stages
    int percent = -1; // of the current stage (a file's download, the reboot wait); -1: none yet
};

// A batch whose files the terminal activated, and how its reboot went.
struct ActivatedBatch
{
    int batch = 0;                   // from 1
    bool rebootAcknowledged = false; // at least one of the reboot frames was accepted
    // In the reboot wait: whether the terminal restarted (it went silent, or its port went
    // away), whether it gave a valid answer to the initialisation at all, and whether it came
    // back: a valid answer once it had restarted, within the wait.
    bool restarted = false;
    bool answered = false;
    bool returned = false;
    bool waitStopped = false; // the wait was stopped on request before it came back
};

// What the terminal's application list showed of the entries a batch declares.
struct BatchCheck
{
    enum class State
    {
        NotChecked,       // the batch was not installed, or the terminal did not come back
        AlreadyInstalled, // listed before the batch was sent: it was not sent again
        Verified,         // listed once the batch was installed and the terminal came back
        Missing,          // the terminal came back without listing them all
        Unread,           // the terminal came back, but its list could not be read
    };
    int batch = 0; // from 1
    QStringList expected;
    State state = State::NotChecked;
    QStringList listed; // the list it was judged on (none for NotChecked and Unread)

    // The expected entries `list` lacks, in the batch's order.
    static QStringList missingFrom(const QStringList &expected, const QStringList &list);
    QStringList missing() const { return missingFrom(expected, listed); }
};

// The end of one installation.
struct InstallResult
{
    InstallOutcome outcome = InstallOutcome::Failed;
    InstallStage stage = InstallStage::Starting; // the stage it ended in (Finished when it ran
                                                 // to the end)
    FailureCause cause = FailureCause::None;
    PortDiagnosis::Cause openFailure = PortDiagnosis::Cause::Unknown; // when PortUnavailable

    // For the operator: the box's title and message as the scenario words them; `advice` is one
    // sentence the box adds when a cause is known (why the port would not open, a terminal that
    // stopped answering), empty otherwise.
    QString title;
    QString message;
    QString advice;
    // The log entry that follows the result line (the cause of a failure), empty if none.
    QString causeLine;

    QString startPort; // the label of the port the installation was given
    QString port;      // the label of the port the terminal was last known on
    int batchCount = 0;
    QList<ActivatedBatch> activated; // in scenario order
    qint64 rebootWaitMs = 0;         // the length of each reboot wait
    bool reinstall = false;          // batches sent even when the terminal listed them

    // One per batch that declares entries, in scenario order.
    QList<BatchCheck> checks;
    // The terminal's application list as the installation's first session read it, and as it
    // was read again after the last batch's return (only for a batch that declares entries);
    // each with whether it was read whole.
    QStringList applicationsBefore;
    bool applicationsBeforeRead = false;
    QStringList applicationsAfter;
    bool applicationsAfterRead = false;

    InstallFigures figures; // where the time went
    // The report for support written about this installation (Model::logResult); empty: none.
    QString reportFile;

    bool success() const
    {
        return outcome == InstallOutcome::Updated || outcome == InstallOutcome::UpToDate;
    }
    // Whether every activated batch's reboot was acknowledged, and whether the terminal came
    // back after each; false when nothing was activated.
    bool rebootAcknowledged() const;
    bool returned() const;
    // Whether the package declares entries for any batch (otherwise nothing can be verified).
    bool declaresEntries() const { return !checks.isEmpty(); }
    // Whether the update was verified: every batch declares entries, and the terminal listed
    // them all, before the batch was sent or once it had come back from it.
    bool verified() const;
    // The batches (from 1) whose checks ended in `state`.
    QList<int> batchesIn(BatchCheck::State state) const;
    // The message with its advice, and the sentence that names the report, as a box shows it.
    QString boxText() const;
};

Q_DECLARE_METATYPE(InstallProgress)
Q_DECLARE_METATYPE(InstallResult)

// Stable English names for scripts and reports ("reboot-wait", "installed-unverified",
// "no-answer", "busy").
QString stageKey(InstallStage stage);
QString outcomeKey(InstallOutcome outcome);
QString checkKey(BatchCheck::State state); // "already-installed", "verified", "missing"...
QString causeKey(FailureCause cause);
QString openFailureKey(PortDiagnosis::Cause cause);
