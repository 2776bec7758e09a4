#pragma once

#include "station/stationsettings.h"

#include <QLoggingCategory>
#include <QMainWindow>

#include <memory>

Q_DECLARE_LOGGING_CATEGORY(lcWorkshop)

class QCloseEvent;
class WorkshopRows;

namespace Ui {
class WorkshopWindow;
}

// The workshop: several terminals updated at once by the station's engine (vardel_station),
// one row per terminal. "Démarrer" runs the station on a thread of its own, for the terminals
// found; in automatic mode (the station's watch mode) every terminal plugged in is updated
// once, until "Arrêter". The station keeps the PC awake while a terminal runs, writes its log,
// and tells the window what happens through a StationRelay, as values. Selecting a row shows
// that terminal's detail below the table; no box is ever opened for a terminal.
//
// Closing the window during a run asks the run to stop and closes once it has ended; a second
// close stops waiting for the terminals that restart.
class WorkshopWindow : public QMainWindow
{
    Q_OBJECT

public:
    // A stopped run may leave a package read or a port listing running on a thread of its
    // own; the program waits for them (at most waitMs) before it ends. True once none runs.
    static bool waitForLeftWork(int waitMs);

    // `base`: the package, the ports and the journal the runs use (the station's defaults: the
    // package beside the program, every port, no journal); the watch flag is the window's
    // check box. `automatic`: the box checked and the run started at once. `settingsFile`:
    // the broker's settings (workshopsettings.h), read again at each start; a file that
    // cannot be used stops the run from starting and the window says why. Empty: none.
    explicit WorkshopWindow(const StationSettings &base = StationSettings(), bool automatic = false,
                            QWidget *parent = nullptr, const QString &settingsFile = QString());
    // The settings of the workshop as its users open it: its journal beside the log, in
    // `logFolder` (workshopsettings::journalIn).
    static StationSettings kept(const QString &logFolder);
    ~WorkshopWindow() override;

    bool isRunning() const { return run != nullptr; }
    const WorkshopRows &terminals() const { return *rows; }

    // Starts a run unless one is running; false when one was, or when the settings file
    // cannot be used.
    bool start();
    // Asks the run to stop (a second call also stops the reboot waits).
    void stop();

signals:
    // A run has ended, with the station's exit status.
    void runEnded(int status);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    struct Run;
    void connectRun(Run &run);
    void onRunReturned(int status);
    void showCounts();
    void showDetail();
    void setStatus(const QString &text);
    void addNotice(const QString &text);
    void setRunning(bool running);

    Ui::WorkshopWindow *ui;
    WorkshopRows *rows;
    const StationSettings settings;
    const QString settingsFile;
    std::unique_ptr<Run> run;
    bool closeWhenEnded = false;
};
