#include "mainwindow.h"

#include "about.h"
#include "config/configuration.h"
#include "config/picture.h"
#include "crypto/devkeys.h"
#include "link/portfollower.h"
#include "link/serialport.h"
#include "model/installation/logtexts.h"
#include "model/model.h"
#include "station/workshopsettings.h"
#include "system/logger.h"
#include "system/workers.h"
#include "ui_mainwindow.h"
#include "workshopwindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDesktopServices>
#include <QDir>
#include <QGuiApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QTimer>
#include <QUrl>

namespace {
// The maker's teal. Qt warns that this rgba() lacks its alpha, and applies the colour.
const QString kAccent = QStringLiteral("color: rgba(60, 177, 195)");
const QString kAccentBorder = QStringLiteral("border-color: rgba(60, 177, 195)");
const QString kNoTerminal = QStringLiteral("Aucun terminal détecté");
// Room kept around the window for the frame the window manager draws: a title bar above, a
// border on the other sides. Generous, so that the title bar never ends above the screen.
const QMargins kFrameAllowance(8, 40, 8, 8);
} // namespace

const char *const MainWindow::kWebSite = "https://www.tarvenix.example/";

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    about = new About(this);
    formSize = size();
    fitTo(QGuiApplication::primaryScreen()->availableGeometry());
    ui->generateButton->setEnabled(false);
    ui->label_3->setStyleSheet(kAccent);

    model = new Model;
    model->log(logger::startBanner);
    if (devkeys::inUse())
        model->log(devkeys::logLine());
    // Once, when the event loop runs: the operator learns that this session leaves no trace.
    if (const QString failure = model->logFailure(); !failure.isEmpty())
        QTimer::singleShot(0, this, [this, failure] {
            QMessageBox::warning(
                this, QStringLiteral("Log impossible à écrire"),
                failure.at(0).toUpper() + failure.mid(1) +
                    QStringLiteral(".\nDossier du log : %1\nLa mise à jour reste possible, mais "
                                   "ses étapes ne seront pas enregistrées. Pour les garder, "
                                   "lancez le programme depuis un dossier où vous pouvez "
                                   "écrire.")
                        .arg(QDir::toNativeSeparators(QDir::currentPath())),
                QMessageBox::Ok);
        });
    connect(model, &Model::configurationLoaded, this, &MainWindow::on_configuration_loaded);
    connect(model, &Model::configurationFailed, this, &MainWindow::on_configuration_failed);
    connect(model, &Model::terminalsFound, this, &MainWindow::on_terminals_found);
    connect(model, &Model::terminalsFailed, this, &MainWindow::on_terminals_failed);
    connect(model, &Model::setModuleProgression, this, &MainWindow::on_module_progressed);
    connect(model, &Model::setTotalProgression, this, &MainWindow::on_total_progressed);

    ui->generateButton->setStyleSheet(kAccent);
    ui->operationTitleLabel->setStyleSheet(kAccentBorder);
    ui->operationDescriptionLabel->setStyleSheet(kAccentBorder);
    ui->operationDescriptionLabel->setOpenExternalLinks(true);

    connect(this, &MainWindow::displayResult, this, &MainWindow::on_result_displayed);
    connect(about, &About::reportRequested, this, &MainWindow::saveReport);
    connect(ui->actionWorkshop, &QAction::triggered, this, &MainWindow::openWorkshop);
    connect(ui->terminalsNames, QOverload<int>::of(&QComboBox::activated), this,
            [this] { lastTerminal.reset(); });
    installStarted = false;

    // Both at once: the search does not wait for the configuration. The window shows itself
    // when the configuration has been loaded.
    workers::start([this] { model->loadConfiguration(); });
    startSearch();
}

MainWindow::~MainWindow()
{
    // A search may still be running (and an installation, if the program is ended from
    // outside): the serial link must have one user at a time, and the end banner must be the
    // run's last entry.
    workers::waitForAll();
    model->log(logger::endBanner);
    model->releaseTerminals();
    delete ui;
    delete model;
}

void MainWindow::fitTo(const QRect &available)
{
    // The form keeps its size and scrolls in the window's central area; the menu stays above.
    auto *area = qobject_cast<QScrollArea *>(centralWidget());
    if (!area) {
        QWidget *form = takeCentralWidget();
        form->setFixedSize(formSize - QSize(0, menuBar()->sizeHint().height()));
        area = new QScrollArea;
        area->setObjectName(QStringLiteral("formArea"));
        area->setFrameShape(QFrame::NoFrame);
        area->setWidget(form);
        setCentralWidget(area);
    }
    const QSize frame(kFrameAllowance.left() + kFrameAllowance.right(),
                      kFrameAllowance.top() + kFrameAllowance.bottom());
    const QSize room = available.size() - frame;
    if (formSize.width() <= room.width() && formSize.height() <= room.height()) {
        // It fits: the window has the form's size, centred.
        setFixedSize(formSize);
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, formSize, available));
        return;
    }
    // A scroll bar takes room from the other direction, and may make it need one too.
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, area);
    bool vertical = formSize.height() > room.height();
    const bool horizontal = formSize.width() + (vertical ? bar : 0) > room.width();
    vertical = vertical || formSize.height() + (horizontal ? bar : 0) > room.height();
    const QSize window =
        (formSize + QSize(vertical ? bar : 0, horizontal ? bar : 0)).boundedTo(room);
    setFixedSize(window);
    // Where the frame's corner goes (a window's position is its frame's): centred, and never
    // above or left of the available area, so the title bar stays on the screen.
    move(available.x() + qMax(0, (room.width() - window.width()) / 2),
         available.y() + qMax(0, (room.height() - window.height()) / 2));
}

void MainWindow::startSearch()
{
    if (searchRunning)
        return;
    searchRunning = true;
    workers::start([this] { model->searchTerminals(); });
}

void MainWindow::on_configuration_loaded()
{
    // The bytes the package check read; decoded only when their header allows it
    // (picture::load), otherwise no picture.
    const QPixmap shown = QPixmap::fromImage(picture::load(model->getPicture(), model->getImage()));
    if (shown.isNull())
        ui->imageTerminal->clear();
    else
        ui->imageTerminal->setPixmap(
            shown.scaled(ui->imageTerminal->size(), Qt::KeepAspectRatio, Qt::FastTransformation));
    ui->operationTitleLabel->setText(model->getTitle());
    const QString description = model->getDescription();
    if (description.contains(QStringLiteral("<html>")))
        ui->operationDescriptionLabel->setHtml(description);
    else
        ui->operationDescriptionLabel->setText(description);
    model->log(QStringLiteral("Configuration chargée avec succès"));
    show();
}

void MainWindow::on_configuration_failed()
{
    const QString path = Configuration::filePath();
    QMessageBox::critical(this, QStringLiteral("Erreur fichier de configuration"),
                          logtexts::configurationMissingMessage(path), QMessageBox::Ok);
    ui->generateButton->setEnabled(false);
    model->log(logtexts::configurationMissing(path));
    // The window was never shown: with the box closed no window is left, and the application
    // quits by itself.
}

void MainWindow::on_terminals_found()
{
    searchRunning = false;
    const QStringList labels = model->getFoundTerminals();
    const int n = labels.size();
    if (n == 0) {
        ui->terminalsNames->clear();
        ui->label_2->setText(kNoTerminal);
        ui->generateButton->setEnabled(false);
        model->log(kNoTerminal);
    } else {
        // The list shows what this search found, in its order: a terminal that came back under
        // another port name, or one swapped for another, shows at once. The operator's choice
        // stays chosen while its port is still there. The terminal of the last installation is
        // chosen again wherever it comes back, until the operator picks another.
        QStringList shown;
        for (int i = 0; i < ui->terminalsNames->count(); ++i)
            shown << ui->terminalsNames->itemText(i);
        if (shown != labels) {
            QString chosen = ui->terminalsNames->currentText();
            if (lastTerminal && labels.contains(lastTerminal->current()))
                chosen = lastTerminal->current();
            ui->terminalsNames->clear();
            ui->label_2->setText(
                n == 1 ? QStringLiteral("Votre terminal a été détecté :")
                       : QString::number(n) +
                             QStringLiteral(" terminaux ont été détectés.\nSélectionnez celui "
                                            "que vous souhaitez mettre à jour :"));
            for (const QString &label : labels) {
                ui->terminalsNames->addItem(label);
                model->log(QStringLiteral("Terminal détecté : ") + label);
            }
            const int kept = labels.indexOf(chosen);
            ui->terminalsNames->setCurrentIndex(kept >= 0 ? kept : model->getPreferredIndex());
        }
        if (!installStarted)
            ui->generateButton->setEnabled(true);
    }
    if (!installStarted)
        startSearch();
}

void MainWindow::on_terminals_failed()
{
    searchRunning = false;
    ui->terminalsNames->clear();
    ui->label_2->setText(QString());
    ui->terminalsNames->addItem(kNoTerminal);
    ui->generateButton->setEnabled(false);
    model->log(QStringLiteral("Erreur détection de terminal"));
    if (!installStarted)
        startSearch();
}

void MainWindow::on_module_progressed(QString info, int value)
{
    ui->moduleLabel->setText(info);
    ui->moduleProgressBar->setValue(value);
    model->logProgress(QStringLiteral("Module"), info, value);
}

void MainWindow::on_total_progressed(QString info, int value)
{
    ui->moduleLabel_2->setText(info);
    ui->totalProgressBar->setValue(value);
    model->logProgress(QStringLiteral("Total"), info, value);
}

void MainWindow::on_generateButton_clicked()
{
    on_generateButton_clicked_final();
}

void MainWindow::on_generateButton_clicked_final()
{
    ui->generateButton->setEnabled(false);
    ui->terminalsNames->setEnabled(false);
    if (installStarted)
        return;
    // The label is taken here, on the GUI thread, when the installation starts.
    startInstallation(ui->terminalsNames->currentText());
}

void MainWindow::startInstallation(const QString &portLabel)
{
    installStarted = true;
    about->setReportEnabled(false); // the installation's data are being written
    // The PC must not sleep while the terminal is being written; without logind it may.
    const SleepInhibitor::Outcome awake = sleepInhibitor.acquire();
    if (awake != SleepInhibitor::Outcome::Held)
        model->log(logtexts::sleepNotInhibited(awake, sleepInhibitor.failureDetail()));
    followTerminal(portLabel);
    workers::start([this, portLabel] { installThread(portLabel); });
}

void MainWindow::followTerminal(const QString &portLabel)
{
    // After its reboot the terminal may come back under another port name: each open of the
    // installation looks for it by its identity (its serial number, or else its USB socket).
    auto terminal = std::make_shared<PortFollower>(portLabel);
    lastTerminal = terminal;
    if (!terminal->isFollowing()) {
        model->setPortResolver(nullptr);
        return;
    }
    Model *installing = model;
    model->setPortResolver([installing, terminal](const QString &) {
        bool moved = false;
        const QString now = terminal->current(&moved);
        if (moved)
            installing->log(logtexts::terminalFoundOn(now, terminal->terminal().describe()));
        return now;
    });
}

void MainWindow::installThread(QString portLabel)
{
    // The result says where the terminal is now: the release frames go there.
    emit displayResult(model->install(portLabel));
}

void MainWindow::on_result_displayed(const InstallResult &ended)
{
    // The log first (and the report, unless the terminal was updated), then the box; the
    // terminal is released once the operator has read it.
    InstallResult result = ended;
    model->logResult(result);
    model->setReinstall(false); // asked for one installation only
    about->setReportEnabled(true);
    sleepInhibitor.release();
    const QString title = result.title;
    const QString text = result.boxText();
    bool again = false;
    switch (result.outcome) {
    case InstallOutcome::Updated:
        QMessageBox::information(this, title, text, QMessageBox::Ok);
        break;
    case InstallOutcome::UpToDate: {
        // Nothing was sent; the operator who wants the package sent all the same may ask once.
        QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, this);
        QPushButton *reinstall =
            box.addButton(QStringLiteral("Réinstaller quand même"), QMessageBox::ActionRole);
        reinstall->setObjectName(QStringLiteral("reinstallButton"));
        box.setDefaultButton(QMessageBox::Ok);
        box.exec();
        again = box.clickedButton() == reinstall;
        break;
    }
    case InstallOutcome::InstalledUnverified:
        QMessageBox::warning(this, title, text, QMessageBox::Ok);
        break;
    case InstallOutcome::Failed:
    case InstallOutcome::Interrupted:
        QMessageBox::critical(this, title, text, QMessageBox::Ok);
        break;
    }
    model->releaseAfter(result);
    installStarted = false;
    if (again) {
        model->log(QStringLiteral("Réinstallation demandée par l'opérateur sur un terminal déjà "
                                  "à jour"));
        model->setReinstall(true);
        startInstallation(result.port);
        return;
    }
    ui->generateButton->setEnabled(true);
    ui->terminalsNames->setEnabled(true);
    // Files installed: the program ends, whether the terminal's restart was confirmed or not.
    if (result.success() || result.outcome == InstallOutcome::InstalledUnverified) {
        model->log(QStringLiteral("Fermeture de l'application"));
        QCoreApplication::quit();
    } else {
        startSearch();
    }
}

void MainWindow::openWorkshop()
{
    // One user of the serial links at a time: not during an installation, and the window
    // waits while the workshop is open.
    if (installStarted)
        return;
    // Its journal beside the log, its broker from its settings file, as `vardel --atelier`.
    auto *workshop = new WorkshopWindow(WorkshopWindow::kept(QDir::currentPath()), false, this,
                                        workshopsettings::file());
    workshop->setWindowFlag(Qt::Window);
    workshop->setWindowModality(Qt::WindowModal);
    workshop->setAttribute(Qt::WA_DeleteOnClose);
    workshop->show();
}

void MainWindow::on_about_clicked()
{
    about->show();
    model->log(QStringLiteral("Fenêtre about"));
}

void MainWindow::saveReport()
{
    const QString title = QStringLiteral("Rapport de diagnostic");
    const QString path = model->writeReport();
    if (path.isEmpty())
        QMessageBox::warning(about, title,
                             QStringLiteral("Le rapport de diagnostic n'a pas pu être enregistré "
                                            "dans le dossier du fichier de log : le fichier de "
                                            "log en donne la raison."),
                             QMessageBox::Ok);
    else
        QMessageBox::information(about, title,
                                 QStringLiteral("Le rapport de diagnostic a été enregistré : ") +
                                     QDir::toNativeSeparators(path),
                                 QMessageBox::Ok);
}

void MainWindow::on_pushButton_clicked()
{
    const QUrl site = QUrl::fromUserInput(QString::fromLatin1(kWebSite));
    QDesktopServices::openUrl(site);
    model->log(QStringLiteral("Go ") + site.host());
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (installStarted) {
        event->ignore();
        return;
    }
    event->accept();
}
