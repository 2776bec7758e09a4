#pragma once

#include "model/installation/installresult.h"
#include "system/sleepinhibitor.h"

#include <QMainWindow>
#include <QString>

#include <memory>

class About;
class Model;
class PortFollower;
class QCloseEvent;

namespace Ui {
class MainWindow;
}

// The operator's window: it loads the configuration and searches for terminals on worker
// threads, starts the installation when the operator presses the button, shows its progress
// and its outcome, and decides when the program ends. Every terminal operation is the Model's.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The maker's web site, opened by the logo button.
    static const char *const kWebSite;

    Model *getModel() const { return model; }
    // Fits the window to a screen's available area: the form is drawn for 764 x 615, and on a
    // smaller screen it scrolls inside a window that fits, frame and menu included.
    void fitTo(const QRect &available);
    bool isInstallStarted() const { return installStarted; }

    // Handlers of the Model's signals, queued onto the GUI thread. Plain members rather than
    // slots, so that the form's connection by name does not mistake them for widget handlers.
    void on_configuration_loaded();
    void on_configuration_failed();
    void on_terminals_found();
    void on_terminals_failed();
    void on_module_progressed(QString info, int value);
    void on_total_progressed(QString info, int value);
    void on_generateButton_clicked_final();

signals:
    void displayResult(InstallResult result);

private slots:
    void on_generateButton_clicked();
    void on_about_clicked();
    void on_pushButton_clicked();

protected:
    // The window cannot be closed while an installation is using the serial link.
    void closeEvent(QCloseEvent *event) override;

private:
    void on_result_displayed(const InstallResult &result);
    // The workshop window (several terminals at once), over this one until it closes.
    void openWorkshop();
    // Saves a report for support on the operator's request, and says where it went.
    void saveReport();
    // Runs the installation on a worker thread, on the terminal of `portLabel`.
    void startInstallation(const QString &portLabel);
    void installThread(QString portLabel);
    // Follows the terminal on portLabel through the installation about to start.
    void followTerminal(const QString &portLabel);
    // Starts a search unless one is already running: one search at a time.
    void startSearch();

    Ui::MainWindow *ui;
    QSize formSize; // the form's own size, menu bar included
    Model *model;
    About *about;
    // Held from the press of the start button to the installation's result.
    SleepInhibitor sleepInhibitor;
    // The terminal of the last installation, followed to wherever it is now.
    std::shared_ptr<PortFollower> lastTerminal;
    bool installStarted = false;
    bool searchRunning = false;
};
