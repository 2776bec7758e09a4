// The window, built in this process, against simulated terminals on mocked serial ports.
#include "childsignal.h"
#include "fleet.h"
#include "logindstandin.h"
#include "mockbed.h"
#include "pack.h"
#include "packagefixture.h"
#include "replies.h"
#include "simrig.h"
#include "model/model.h"
#include "ui/about.h"
#include "ui/mainwindow.h"
#include "ui/workshopwindow.h"

#include <QtTest>
#include <QtWidgets>

#include <sys/stat.h>

namespace {

const QString kSearch = "Démarrage de la recherche de terminal"_q;
const QString kNoTerminal = "Aucun terminal détecté"_q;

// Device names of this process's own: a port's lock file is named after it, and tests run side
// by side.
QString device(const char *base)
{
    return QString::fromLatin1(base) + QString::number(QCoreApplication::applicationPid());
}
QString labelOf(const char *base)
{
    return device(base) + " - (Terminal USB)"_q;
}

// Whether this build holds the committed development keys, found apart from the program.
bool developmentKeys()
{
    const auto hex = [](const QString &file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll().toLower().simplified().replace(' ', "")
                                           : QByteArray();
    };
    for (const QString &name : {"/package.key"_q, "/signing-modulus.hex"_q})
        if (hex(VARDEL_TEST_KEY_DIR ""_q + name) == hex(VARDEL_TEST_DEV_KEY_DIR ""_q + name))
            return true;
    return false;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { urls << url; } // stands in for the browser

private slots:
    void initTestCase()
    {
        QVERIFY(kChildSignalBlocked && childsignal::takeHere()); // see childsignal.h
        fast = SimRig::fastTiming();
        fast.searchPauseMs = 150;
        QApplication::setQuitOnLastWindowClosed(true);
        QVERIFY(fixture::writePackage(Configuration::directory()));
        QVERIFY(QDir::setCurrent(work.path())); // where the window writes its log
        // No system bus, unless a test brings logind's stand-in.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", noBus().toUtf8());
        // Every message box is closed as soon as it shows, and remembered; its other buttons
        // too. The reinstallation a box offers is asked for when `reinstallFromBox` says so.
        connect(&boxCloser, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                const QMessageBox::Icon icon = box->icon();
                boxes << (icon == QMessageBox::Critical  ? "critical: "_q
                          : icon == QMessageBox::Warning ? "warning: "_q
                                                         : "information: "_q) +
                             box->windowTitle() + " | "_q + box->text();
                QStringList others;
                for (QAbstractButton *b : box->buttons()) {
                    if (b != box->button(QMessageBox::Ok))
                        others << b->text();
                }
                boxButtons << others.join(QLatin1Char(','));
                auto *reinstall = box->findChild<QPushButton *>("reinstallButton"_q);
                if (reinstall && reinstallFromBox) {
                    reinstallFromBox = false;
                    reinstall->click();
                } else {
                    box->button(QMessageBox::Ok)->click();
                }
            }
        });
        boxCloser.start(30);
    }
    void cleanupTestCase() { QDir(Configuration::directory()).removeRecursively(); }

    void init()
    {
        Model::setInitialTimingForTests(fast);
        bed = std::make_unique<mockbed::Testbed>();
        boxes.clear();
        boxButtons.clear();
        reinstallFromBox = false;
    }
    void cleanup()
    {
        window.reset();
        terminals.clear();
        bed.reset();
        QFile::remove(logName());
        for (const QString &report : reports())
            QFile::remove(report);
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", noBus().toUtf8());
        QFile::remove(Configuration::filePath()); // a FIFO is removed, not opened
        QVERIFY(fixture::writePackage(Configuration::directory()));
    }

    // Hidden while loading, nothing to press; the configuration shows the window. "<html>"
    // anywhere makes the description HTML; "<HTML>" alone does not. The picture is the one the
    // package check read, whatever lies in the folder by then; one too large to show (30000 x
    // 30000 declared in a small file) is not decoded. Progress reaches the bars, their captions
    // and the log.
    void configurationShown()
    {
        window = std::make_unique<MainWindow>();
        QVERIFY(!window->isVisible() && !button()->isEnabled());
        QTRY_VERIFY(window->isVisible());
        QCOMPARE(widget<QLabel>("operationTitleLabel")->text(), "Mise à jour"_q);
        QVERIFY(fixture::write(Configuration::directory() + "terminal.png"_q, "not a picture"));
        window->on_configuration_loaded();
        QVERIFY(!picture().isNull());
        QStringList shown{widget<QTextBrowser>("operationDescriptionLabel")->toPlainText()};
        auto other = std::make_shared<Configuration>();
        for (const QString &text :
             {"V\n<html><b>gras</b></html>"_q, "V\n<HTML><b>gras</b></HTML>"_q}) {
            other->operation->description = text;
            window->getModel()->usePackage(other);
            window->on_configuration_loaded();
            shown << widget<QTextBrowser>("operationDescriptionLabel")->toPlainText();
        }
        QCOMPARE(shown, (QStringList{"V2"_q, "V gras"_q, "V\n<HTML><b>gras</b></HTML>"_q}));
        other->terminal->image = work.filePath("huge.png"_q);
        other->terminal->picture = fixture::pngHeader(30000, 30000);
        window->on_configuration_loaded();
        QVERIFY(picture().isNull());

        emit window->getModel()->setModuleProgression("X"_q, 37);
        emit window->getModel()->setTotalProgression("Y"_q, 55);
        QCOMPARE(widget<QProgressBar>("moduleProgressBar")->value(), 37);
        QCOMPARE(widget<QProgressBar>("totalProgressBar")->value(), 55);
        QCOMPARE(widget<QLabel>("moduleLabel")->text() + widget<QLabel>("moduleLabel_2")->text(),
                 "XY"_q);
        QVERIFY(logged("Module : X - 37"_q) && logged("Total : Y - 55"_q));
    }

    // The searches as terminals come and go: no serial port at all, one terminal, three (the
    // preferred one selected). One swapped for another: the list shows the new one at once, in
    // the order found, the operator's choice kept and the new port logged; a search that finds
    // the same ports changes nothing. Then a port of another maker only.
    void searchResults()
    {
        QVERIFY(QDir(QString::fromStdString(bed->root())).mkpath("sys/class/tty"_q));
        window = std::make_unique<MainWindow>();
        QTRY_COMPARE(state(), (QStringList{QString(), "*"_q + kNoTerminal, "no start"_q}));
        QVERIFY(plug("ttyACM"));
        QTRY_COMPARE(state(), (QStringList{"Votre terminal a été détecté :"_q,
                                           "*"_q + labelOf("ttyACM"), "start"_q}));
        QVERIFY(plug("ttyACM9", "Quelmo") && plug("ttyUSB", "TARVENIX"));
        const QString three =
            "3 terminaux ont été détectés.\nSélectionnez celui que vous souhaitez mettre à jour :"_q;
        QTRY_COMPARE(state(), (QStringList{three, "*"_q + labelOf("ttyACM"), labelOf("ttyACM9"),
                                           labelOf("ttyUSB"), "start"_q}));
        combo()->setCurrentIndex(1);
        bed->remove(device("ttyUSB").toStdString());
        QVERIFY(bed->add(mockbed::Device{device("ttyUSC").toStdString(), "Tarvenix", "Autre"}));
        const QString swapped = device("ttyUSC") + " - (Autre)"_q;
        QTRY_COMPARE(state(), (QStringList{three, labelOf("ttyACM"), "*"_q + labelOf("ttyACM9"),
                                           swapped, "start"_q}));
        QVERIFY(logged("Terminal détecté : "_q + swapped));
        const int detected = log().count("== Terminal détecté : "_q);
        const int searches = log().count(kSearch);
        QTRY_VERIFY(log().count(kSearch) >= searches + 2);
        QCOMPARE(log().count("== Terminal détecté : "_q), detected);
        QCOMPARE(combo()->currentText(), labelOf("ttyACM9"));
        for (const char *base : {"ttyACM", "ttyACM9", "ttyUSC"})
            bed->remove(device(base).toStdString());
        QVERIFY(plug("ttyUSB2", "Tarvenix_Ltd")); // the whole name is not the brand's
        QTRY_COMPARE(state(), (QStringList{kNoTerminal, "no start"_q}));
        QVERIFY(logged("Erreur détection de terminal"_q) && logged(kNoTerminal));
    }

    // Two terminals and a two-batch package; the chosen one comes back from each reboot under
    // a new port name (vardel-sim --devices 2 --at 0 --renumber --reboot-silence 1000), in its
    // USB socket. The installation follows it there by its serial number, or by its socket when
    // it has none; here its second batch fails (its download stopped four times), and it
    // reboots away once more. The list then shows its new port, still chosen, and the retry
    // installs both batches. The other terminal hears only release frames.
    void renumberedTerminal_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("known"); // how the log says it was found again
        QTest::newRow("by its serial number") << "TVX00001"_q << "numéro de série TVX00001"_q;
        // Device 0 of the fleet is in socket 1-2.
        QTest::newRow("no serial number: by its USB socket") << QString() << "prise USB 1-2"_q;
    }
    void renumberedTerminal()
    {
        QFETCH(QString, serial);
        QFETCH(QString, known);
        bed.reset(); // the fleet brings its own devices
        QVERIFY(writeTwoBatches());
        sim::Fleet fleet;
        for (int k = 0; k < 2; ++k) {
            sim::DeviceOptions options;
            options.behaviour.setCatalogue(0x12, 0x34, 0x56);
            options.behaviour.rebootSilenceMs = 1000;
            options.vendor = "Tarvenix"_q;
            options.serial = k == 0 ? serial : "TVX0000%1"_q.arg(k + 1);
            options.renumber = k == 0;
            if (k == 0) // the second file's third block, in each of its four downloads
                for (int stop = 0; stop < 4; ++stop)
                    options.behaviour.addBlockFault(2, sim::BlockReply::Stop);
            QVERIFY(fleet.add(device("ttyFL") + "_%1"_q.arg(k), options));
        }
        const auto labelOfName = [](const QString &name) { return name + " - (Terminal USB)"_q; };
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(window->isVisible() && combo()->count() == 2 && button()->isEnabled());
        combo()->setCurrentIndex(combo()->findText(labelOfName(fleet.names(0).first())));
        QTest::mouseClick(button(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(boxes.size() == 1 && !window->isInstallStarted(), 60000);
        if (!boxes.first().startsWith("critical: Erreur chargement | "_q))
            qWarning().noquote() << log(); // the whole log: the box alone does not say why
        QVERIFY2(boxes.first().startsWith("critical: Erreur chargement | "_q),
                 qPrintable(boxes.first()));
        const QString afterFirstBatch = labelOfName(fleet.names(0).value(1));
        QVERIFY2(
            logged("Terminal retrouvé sur "_q + afterFirstBatch + " ("_q + known + ")"_q),
            qPrintable(log()));
        // The failed batch's reboot: away once more, back under a third name.
        QTRY_VERIFY_WITH_TIMEOUT(fleet.names(0).size() == 3, 20000);
        const QString now = labelOfName(fleet.names(0).last());
        QTRY_COMPARE(combo()->currentText(), now);
        QCOMPARE(combo()->count(), 2);
        QVERIFY(combo()->findText(labelOfName(fleet.names(1).first())) >= 0);
        QVERIFY(logged("Terminal détecté : "_q + now));

        QTRY_VERIFY(button()->isEnabled());
        QTest::mouseClick(button(), Qt::LeftButton);
        QCOMPARE(execWithin(60000), 0);
        QCOMPARE(boxes.size(), 2);
        QVERIFY2(boxes.last().startsWith("information: Installation réalisée avec succès"_q),
                 qPrintable(boxes.last()));
        QCOMPARE(fleet.record(0).count(sim::Command::Activate), 3);
        // The release frames after the result reach it where it came back.
        QCOMPARE(fleet.record(0).frames.last().command, sim::Command::Release);
        QCOMPARE(fleet.record(1).frames.size(), fleet.record(1).count(sim::Command::Release));
        window.reset();
    }

    // While the terminal is away for its reboot, another maker's device that reports the same
    // serial number (cheap adapters share theirs) is plugged in, then unplugged as the terminal
    // comes back under a new name. The installation waits for the terminal and follows it
    // there; the other device hears nothing.
    void sameSerialWhileAway()
    {
        bed.reset();
        QVERIFY(writeTwoBatches());
        sim::Fleet fleet;
        for (int k = 0; k < 2; ++k) {
            sim::DeviceOptions options;
            options.behaviour.setCatalogue(0x12, 0x34, 0x56);
            options.behaviour.rebootSilenceMs = 3000; // away before it could answer
            options.vendor = k == 0 ? "Tarvenix"_q : "Acme"_q;
            options.serial = "0001"_q;
            options.unplugged = k == 1;
            QVERIFY(fleet.add(device("ttySS") + "_%1"_q.arg(k), options));
        }
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(window->isVisible() && combo()->count() == 1 && button()->isEnabled());
        QTest::mouseClick(button(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("Redémarrage du terminal en cours."_q), 60000);
        fleet.unplug(0);
        QVERIFY(fleet.plug(1));
        QTest::qWait(2000); // two tries of the reboot wait
        fleet.unplug(1);
        QVERIFY(fleet.plug(0));
        QCOMPARE(execWithin(60000), 0);
        QVERIFY2(boxes.last().startsWith("information: Installation réalisée avec succès"_q),
                 qPrintable(boxes.join("\n"_q)));
        QCOMPARE(fleet.names(0).size(), 2);
        QVERIFY2(logged("Terminal retrouvé sur "_q + fleet.names(0).last() +
                        " - (Terminal USB) (numéro de série 0001)"_q),
                 qPrintable(log()));
        QCOMPARE(fleet.record(1).frames.size(), 0);
        QCOMPARE(fleet.record(0).count(sim::Command::Activate), 2);
        window.reset();
    }

    // A configuration refused (a batch added after the signature, a FIFO in its place, a file
    // of the package swapped after signing): only the error box, the program ends once it is
    // closed, the terminal hears nothing but the release frames, and the log says what was
    // found.
    void configurationRefused_data()
    {
        QTest::addColumn<QString>("change"); // "appended", "FIFO" or "swapped"
        QTest::addColumn<QString>("line");   // logged before the failure
        QTest::newRow("appended batch") << "appended"_q
                                        << "== Signature du fichier de configuration refusée : "
                                           "contenu non signé après la signature, à la position "_q;
        QTest::newRow("FIFO") << "FIFO"_q
                              << ") n'est pas un fichier ordinaire mais un tube nommé (FIFO) : "
                                 "refusé\n"_q;
        QTest::newRow("swapped file")
            << "swapped"_q
            << "== Le fichier du package \""_q + Configuration::directory() +
                   "app.bin\" ne correspond pas au package signé : son empreinte SHA-256 est "_q;
        // A file the terminal cannot be told of, beside app.bin (signed as an older vardel-pack
        // would have: this one refuses to).
        QTest::newRow("name too long to advertise")
            << "long name"_q
            << "== Le fichier du package \""_q + Configuration::directory() +
                   "a_file_name_far_too_long.bin\" ne peut pas être annoncé au terminal : son nom "
                   "A_FILE_NAME_FAR_TOO_LONG.BIN (28 octets) et sa longueur 000300 dépassent 28 "
                   "octets\n"_q;
    }
    void configurationRefused()
    {
        QFETCH(QString, change);
        QFETCH(QString, line);
        const QString file = Configuration::filePath();
        QFile current(file);
        QVERIFY(current.open(QIODevice::ReadOnly));
        const QByteArray tampered = fixture::withAppendedBatch(current.readAll());
        if (change == "FIFO"_q)
            QVERIFY(current.remove() && ::mkfifo(QFile::encodeName(file).constData(), 0600) == 0);
        else if (change == "long name"_q)
            QVERIFY(fixture::write(Configuration::directory() + "a_file_name_far_too_long.bin"_q,
                                   pack::seal(QByteArray(300, 'l'))) &&
                    fixture::write(file, fixture::signWithoutDigests(fixture::unsignedXml().replace(
                                             "</file>",
                                             "</file><file>a_file_name_far_too_long.bin</file>"))));
        else if (change == "appended"_q)
            QVERIFY(fixture::write(file, tampered));
        else
            QVERIFY(fixture::write(Configuration::directory() + "app.bin"_q,
                                   fixture::otherFiles().first()));
        sim::Terminal *terminal = plug("ttyACM");
        QVERIFY(terminal);
        window = std::make_unique<MainWindow>();
        QCOMPARE(execWithin(20000), 0); // the box, the only window, closed
        window.reset();
        const QString failure =
            "Le fichier de configuration ("_q + file + ") est manquant ou incorrect."_q;
        QCOMPARE(boxes, QStringList{"critical: Erreur fichier de configuration | "_q + failure +
                                    "\nVeuillez contacter votre support."_q});
        QVERIFY2(inOrder({line, "== "_q + failure + "\n"_q, "Fin de l'application"_q}),
                 qPrintable(log()));
        for (const sim::Frame &frame : terminal->record().frames)
            QCOMPARE(frame.command, sim::Command::Release);
    }

    // A log that cannot be opened (a folder in its place): one warning box at start-up with the
    // cause and the folder, and the window carries on.
    void unwritableLogWarnsOnce()
    {
        QVERIFY(QDir().mkdir(logName()));
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(window->isVisible() && !boxes.isEmpty());
        QTest::qWait(200); // a second box would show by now
        QVERIFY(QDir().rmdir(logName()));
        QCOMPARE(boxes, QStringList{"warning: Log impossible à écrire | Le fichier de log ne peut "
                                    "pas être ouvert : "_q +
                                    QDir::toNativeSeparators(work.filePath(logName())) +
                                    " (un dossier porte ce nom).\nDossier du log : "_q +
                                    QDir::toNativeSeparators(work.path()) +
                                    "\nLa mise à jour reste possible, mais ses étapes ne seront "
                                    "pas enregistrées. Pour les garder, lancez le programme "
                                    "depuis un dossier où vous pouvez écrire."_q});
    }

    // The whole run: the success box, and the program's end with code 0; the log in order.
    // There is no system bus here: the log says once that the PC may sleep, and the
    // installation goes on.
    void successfulInstallationEndsProgram()
    {
        QVERIFY(startInstallation());
        QCOMPARE(execWithin(60000), 0);
        window.reset();
        const QString done = "Installation réalisée avec succès"_q;
        const QString updated = "Le terminal a été correctement mis à jour."_q;
        QCOMPARE(boxes, QStringList{"information: "_q + done + " | "_q + updated});
        // The package is loaded while the first search runs: either may end first.
        QVERIFY2(inOrder({"Démarrage de l'application"_q,
                          "== Terminal détecté : "_q + labelOf("ttyACM"),
                          "== Total : Démarrage de l'installation - 0"_q}),
                 qPrintable(log()));
        QVERIFY2(inOrder({"Démarrage de l'application"_q, "== Configuration chargée avec succès"_q,
                          "== Total : Démarrage de l'installation - 0"_q,
                          "== "_q + done + " - "_q + updated + " - [succès]"_q,
                          "== Fermeture de l'application"_q, "Fin de l'application"_q}),
                 qPrintable(log()));
        QCOMPARE(log().count("== Mise en veille du PC non empêchée (pas de bus système, donc "
                             "pas de logind : "_q),
                 1);
    }

    // The PC is kept awake from the press of the start button to the result: logind's
    // stand-in lists Vardel's lock as soon as the button has been pressed, and no more once
    // the result has come, whether the installation succeeded or failed (the window still
    // there: not released by its end).
    void sleepInhibited_data()
    {
        QTest::addColumn<bool>("success");
        QTest::newRow("success") << true;
        QTest::newRow("failure") << false;
    }
    void sleepInhibited()
    {
        QFETCH(bool, success);
        LogindStandIn logind;
        QVERIFY(logind.start());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", logind.address().toUtf8());
        sim::Behaviour behaviour = quickTerminal();
        behaviour.receivingApp = success;
        QVERIFY(startInstallation(behaviour));
        QCOMPARE(logind.inhibitors(), QStringList{"sleep:idle:handle-lid-switch|Vardel|Mise à jour "
                                                  "d'un terminal en cours|block"_q});
        if (success)
            QCOMPARE(execWithin(60000), 0);
        else
            QTRY_VERIFY_WITH_TIMEOUT(!window->isInstallStarted(), 60000);
        QCOMPARE(boxes.size(), 1);
        bool answered = false;
        QTRY_VERIFY_WITH_TIMEOUT(logind.inhibitors(&answered).isEmpty() && answered, 20000);
        QVERIFY(!log().contains("Mise en veille du PC"_q));
    }

    // A failed installation: meanwhile a second press is ignored and the window refuses to
    // close; then the critical box, both controls come back and the search goes on. A search
    // still pausing when the installation ended must not give a second search loop.
    void failedInstallationAllowsRetry()
    {
        Model::Timing timing = fast;
        timing.searchPauseMs = 1000; // longer than the failing installation
        Model::setInitialTimingForTests(timing);
        sim::Behaviour refusing;
        refusing.receivingApp = false;
        QVERIFY(startInstallation(refusing));
        window->on_generateButton_clicked_final(); // a second start while the first runs
        QVERIFY(!button()->isEnabled() && !combo()->isEnabled());
        auto *reportButton = window->findChild<QPushButton *>("reportButton"_q);
        QVERIFY(reportButton && !reportButton->isEnabled());
        QVERIFY(!window->close() && window->isVisible());
        QTRY_VERIFY(!window->isInstallStarted());
        QCOMPARE(boxes,
                 QStringList{"critical: Erreur mirandol | L'application \"Mirandol\" n'est pas "
                             "installée sur le terminal.\n"_q + reportSentence()});
        QVERIFY(button()->isEnabled() && combo()->isEnabled());
        // A report on request, from the About dialog, about that installation too.
        QVERIFY(reportButton->isEnabled());
        const QString first = reports().value(0);
        reportButton->click();
        QTRY_COMPARE(boxes.size(), 2);
        QCOMPARE(reports().size(), 2);
        const QString second = reports().at(reports().at(0) == first ? 1 : 0);
        QCOMPARE(boxes.last(), "information: Rapport de diagnostic | Le rapport de diagnostic a "
                               "été enregistré : "_q +
                                   QDir::toNativeSeparators(second));
        QFile written(second);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(written.readAll());
        QVERIFY2(text.contains("== Résultat ==\nIssue : échec (failed)\n"_q) &&
                     text.contains("Titre : Erreur mirandol\n"_q),
                 qPrintable(text));
        QCOMPARE(log().count("== Total : Démarrage de l'installation - 0"_q), 1);
        // The search goes on, one loop of it: a search pause of 1 s has room for three at most.
        const int before = log().count(kSearch);
        QTRY_VERIFY_WITH_TIMEOUT(log().count(kSearch) > before, 10000);
        const int searching = log().count(kSearch);
        QTest::qWait(2500);
        const int searches = log().count(kSearch) - searching;
        QVERIFY2(searches <= 3, qPrintable(log()));
        QVERIFY(window->close());
    }

    // Files activated but the restart unconfirmed: a warning box of its own, then the program
    // ends as after a success. A terminal that stopped answering keeps its failure box, which
    // says so, and the log says it after the result.
    void unconfirmedOrSilent_data()
    {
        QTest::addColumn<QString>("options"); // of vardel-sim
        QTest::addColumn<QString>("box");
        QTest::addColumn<QStringList>("logged"); // the end of the result line, the next entry
        const QString installed = "Terminal installé, à vérifier | Les fichiers ont été "
                                  "installés, mais le terminal n'a pas redémarré comme prévu : "_q;
        const QString check = "\nVérifiez le terminal avant de le remettre en service."_q;
        const QString unconfirmed = "il n'a pas confirmé son redémarrage."_q + check;
        // "REPORT" stands for the entry that names the report.
        const QStringList closing{" - [à vérifier]"_q, "REPORT"_q, "Fermeture de l'application"_q};
        QTest::newRow("reboot refused")
            << "--refuse reboot"_q
            << "warning: "_q + installed +
                   "il n'a pas confirmé son redémarrage et a continué de répondre sans "
                   "redémarrer."_q +
                   check
            << closing;
        QTest::newRow("reboot damaged") << "--damage reboot"_q
                                        << "warning: "_q + installed + unconfirmed << closing;
        QTest::newRow("silent after its reboot")
            << "--reboot-silence 600000"_q
            << "warning: "_q + installed +
                   "il n'a pas répondu dans les 2 secondes qui ont suivi son redémarrage."_q + check
            << closing;
        const QString mirandol =
            "L'application \"Mirandol\" n'est pas installée sur le terminal.\n"_q;
        QTest::newRow("query unanswered")
            << "--mute query"_q
            << "critical: Erreur mirandol | "_q + mirandol +
                   "\nLe terminal ne répond plus : vérifiez le câble qui le relie au PC, puis "
                   "appuyez de nouveau sur « Démarrer la mise à jour »."_q
            << QStringList{" - [échec]"_q,
                           "Cause de l'échec : le terminal ne répond plus, aucune réponse n'est "
                           "arrivée à la dernière demande"_q,
                           "REPORT"_q};
    }
    void unconfirmedOrSilent()
    {
        QFETCH(QString, options);
        QFETCH(QString, box);
        QFETCH(QStringList, logged);
        Model::Timing timing = fast;
        timing.rebootWaitMinMs = 2000;
        Model::setInitialTimingForTests(timing);
        QVERIFY(startInstallation(behaviourOf(options), 0));
        const bool ends = box.startsWith("warning"_q);
        if (ends) {
            QCOMPARE(execWithin(60000), 0);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!boxes.isEmpty() && !window->isInstallStarted(), 20000);
            QVERIFY(window->isVisible() && button()->isEnabled());
        }
        // Every box of an installation that did not update the terminal names its report.
        QCOMPARE(boxes, QStringList{box + reportSentence()});
        const QStringList entries = logMessages(logName());
        const QString title = box.section(" | "_q, 0, 0).section(": "_q, 1);
        int result = 0; // the window's result line
        while (result < entries.size() && !entries[result].startsWith(title + " - "_q))
            ++result;
        QVERIFY2(result < entries.size() && entries[result].endsWith(logged[0]), qPrintable(log()));
        logged.replaceInStrings(QRegularExpression("^REPORT$"_q),
                                "Rapport de diagnostic enregistré : "_q +
                                    QDir::toNativeSeparators(reports().value(0)));
        QCOMPARE(entries.mid(result + 1, logged.size() - 1), logged.mid(1));
    }

    // The terminal's application list as the proof of an update, in the boxes: the success box
    // names the entries it now lists; an installed terminal that does not list them gets the
    // warning box, which names what was expected and what it lists; one that already lists
    // them gets an information box, "déjà à jour", nothing sent, with a reinstallation offered
    // once from the box. Each ends the program, as a success does.
    void verifiedBoxes_data()
    {
        QTest::addColumn<QString>("options");  // of vardel-sim
        QTest::addColumn<bool>("reinstall");   // asked for from the first box
        QTest::addColumn<QStringList>("shown"); // the boxes, without a report's sentence
        QTest::addColumn<QStringList>("buttons"); // each box's buttons but OK
        QTest::addColumn<int>("activations");
        const QString verified = "information: Installation réalisée avec succès | Le terminal a "
                                 "été correctement mis à jour.\nMise à jour vérifiée : le "
                                 "terminal liste PAIEMENT120500."_q;
        const QString upToDate = "information: Terminal déjà à jour | Le terminal liste déjà "
                                 "PAIEMENT120500 : il est déjà à jour, rien ne lui a été envoyé."_q;
        QTest::newRow("verified") << "--apps-after MIRANDOL:0301,PAIEMENT:120500"_q << false
                                  << QStringList{verified} << QStringList{QString()} << 1;
        QTest::newRow("list unchanged")
            << QString() << false
            << QStringList{"warning: Terminal installé, à vérifier | Les fichiers ont été "
                           "installés et le terminal a redémarré, mais sa mise à jour n'est pas "
                           "vérifiée : après le lot 1, il devait lister PAIEMENT120500 ; il liste "
                           "MIRANDOL0301, PAIEMENT120400.\nVérifiez le terminal avant de le "
                           "remettre en service."_q}
            << QStringList{QString()} << 1;
        QTest::newRow("already up to date")
            << "--apps MIRANDOL:0301,PAIEMENT:120500"_q << false << QStringList{upToDate}
            << QStringList{"Réinstaller quand même"_q} << 0;
        QTest::newRow("reinstalled from the box")
            << "--apps MIRANDOL:0301,PAIEMENT:120500"_q << true
            << QStringList{upToDate, verified}
            << QStringList{"Réinstaller quand même"_q, QString()} << 1;
    }
    void verifiedBoxes()
    {
        QFETCH(QString, options);
        QFETCH(bool, reinstall);
        QFETCH(QStringList, shown);
        QFETCH(int, activations);
        const QByteArray xml = fixture::unsignedXml().replace(
            "</file>", "</file><expect>PAIEMENT120500</expect>");
        QVERIFY(fixture::write(Configuration::filePath(),
                               fixture::signXml(xml, Configuration::directory())));
        reinstallFromBox = reinstall;
        sim::Terminal *terminal = startInstallation(behaviourOf(options), 0);
        QVERIFY(terminal);
        QCOMPARE(execWithin(60000), 0);
        window.reset();
        // The box of a terminal to check names its report too.
        for (QString &box : boxes)
            box.remove(QRegularExpression("\nUn rapport de diagnostic a été enregistré pour le "
                                          "support : \\S+$"_q));
        QCOMPARE(boxes, shown);
        QTEST(boxButtons, "buttons");
        QCOMPARE(terminal->record().count(sim::Command::Activate), activations);
        QCOMPARE(logged("Réinstallation demandée par l'opérateur sur un terminal déjà à jour"_q),
                 reinstall);
        QVERIFY2(inOrder({"== Total : Démarrage de l'installation - 0"_q,
                          shown.last().section(" | "_q, 0, 0).section(": "_q, 1) + " - "_q,
                          "== Fermeture de l'application"_q}),
                 qPrintable(log()));
    }

    // A window destroyed while its workers run waits for them before the end banner and the
    // release sweep, so the link never has two users.
    void teardownWaitsForWorkers()
    {
        sim::Behaviour paced;
        paced.pace9600 = true; // about 0.17 s per data block
        sim::Terminal *terminal = startInstallation(paced);
        QVERIFY(terminal);
        QTRY_VERIFY(terminal->record().count(sim::Command::Data) > 0);
        window.reset();
        QCOMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);
        QVERIFY(!log().section("Fin de l'application"_q, -1).contains("== "_q)); // the last entry
        QString commands; // R for a release frame, - for any other
        for (const sim::Frame &frame : terminal->record().frames)
            commands += QLatin1Char(frame.command == sim::Command::Release ? 'R' : '-');
        QVERIFY2(commands.endsWith(QLatin1Char('R')) && !commands.contains("R-"_q),
                 qPrintable(commands));
    }

    // The window on screens of several sizes. Where the form fits, the window is the form,
    // 764 x 615, centred. On a smaller screen the window fits with room for a title bar above
    // it, its menu within it, and every widget the operator uses can be scrolled into view
    // whole. The terminal-count label shows both of its lines.
    void windowFits_data()
    {
        QTest::addColumn<QSize>("screen");
        QTest::newRow("1366x768") << QSize(1366, 768);
        QTest::newRow("1024x600") << QSize(1024, 600);
        QTest::newRow("800x600") << QSize(800, 600);
    }
    void windowFits()
    {
        QFETCH(QSize, screen);
        const QRect available(QPoint(0, 0), screen);
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(window->isVisible());
        window->fitTo(available);
        QCoreApplication::processEvents();
        const bool fits = screen.height() >= 615 + 40;
        if (fits) {
            QCOMPARE(window->size(), QSize(764, 615));
            const QPoint off = window->geometry().center() - available.center();
            QVERIFY(off.manhattanLength() <= 2);
        }
        QVERIFY(available.contains(window->frameGeometry()));
        QVERIFY2(window->y() >= available.y() && window->height() + 30 <= screen.height(),
                 qPrintable("%1 high at %2"_q.arg(window->height()).arg(window->y())));
        auto *menu = window->findChild<QMenuBar *>("menuBar"_q);
        auto *about = window->findChild<QMenu *>("menuAbout"_q);
        QVERIFY(window->rect().contains(
            QRect(menu->mapTo(window.get(), menu->actionGeometry(about->menuAction()).topLeft()),
                  menu->actionGeometry(about->menuAction()).size())));
        auto *area = window->findChild<QScrollArea *>();
        QVERIFY(area);
        QCOMPARE(area->verticalScrollBar()->isVisible(), !fits);
        QVERIFY(!area->horizontalScrollBar()->isVisible());
        for (const char *name :
             {"label_3", "label_2", "terminalsNames", "operationTitleLabel",
              "operationDescriptionLabel", "imageTerminal", "generateButton", "moduleLabel_2",
              "totalProgressBar", "moduleLabel", "moduleProgressBar"}) {
            auto *shown = widget<QWidget>(name);
            area->ensureWidgetVisible(shown, 0, 0);
            const QRect where(shown->mapTo(area->viewport(), QPoint(0, 0)), shown->size());
            QVERIFY2(area->viewport()->rect().contains(where), name);
        }

        auto *count = widget<QLabel>("label_2");
        count->setText("2 terminaux ont été détectés.\nSélectionnez celui que vous souhaitez "
                       "mettre à jour :"_q);
        QVERIFY2(count->heightForWidth(count->width()) <= count->height(),
                 qPrintable("%1 needed, %2 given"_q.arg(count->heightForWidth(count->width()))
                                .arg(count->height())));
    }

    // What a screen reader is told: the button, the list, both bars and their captions each
    // have a name of their own and a description; a caption's name is the stage it shows.
    void accessibleNames()
    {
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(window->isVisible());
        emit window->getModel()->setModuleProgression("Téléchargement du fichier : APP.BIN"_q, 40);
        emit window->getModel()->setTotalProgression("Redémarrage du terminal en cours."_q, 80);
        QStringList names;
        for (const char *name :
             {"generateButton", "terminalsNames", "totalProgressBar", "moduleLabel_2",
              "moduleProgressBar", "moduleLabel", "imageTerminal", "pushButton"}) {
            QAccessibleInterface *face =
                QAccessible::queryAccessibleInterface(widget<QWidget>(name));
            QVERIFY2(face, name);
            const QString said = face->text(QAccessible::Name);
            QVERIFY2(!said.isEmpty() && !face->text(QAccessible::Description).isEmpty(), name);
            names << said;
        }
        QCOMPARE(names.at(3), "Redémarrage du terminal en cours."_q);
        QCOMPARE(names.at(5), "Téléchargement du fichier : APP.BIN"_q);
        QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), names.size());
    }

    // The menu's workshop entry: the workshop window over this one, which it blocks, not in
    // automatic mode and not running until asked; closed, it goes.
    void workshopFromMenu()
    {
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(window->isVisible());
        // The menu bar as it was ("?" first, where operators and the demo find "A propos"),
        // the workshop's menu after it.
        QStringList menus;
        for (const QAction *menu : window->menuBar()->actions())
            menus << menu->text();
        QCOMPARE(menus, (QStringList{"?"_q, "Outils"_q}));
        QCOMPARE(widget<QAction>("actionWorkshop")->text(), "Atelier…"_q);
        widget<QAction>("actionWorkshop")->trigger();
        QPointer<WorkshopWindow> workshop = window->findChild<WorkshopWindow *>();
        QVERIFY(workshop && workshop->isVisible() && workshop->isWindow());
        QCOMPARE(workshop->windowModality(), Qt::WindowModal);
        QVERIFY(!workshop->isRunning());
        QVERIFY(!workshop->findChild<QCheckBox *>("automaticBox"_q)->isChecked());
        QVERIFY(workshop->close());
        QTRY_VERIFY(workshop.isNull());
        QVERIFY(window->isVisible());
        QVERIFY(boxes.isEmpty());
    }

    // The About dialog, shown twice; both logos open the maker's web site. A build with the
    // development keys says so in the dialog and in the log right after the start banner.
    void aboutAndLogos()
    {
        QDesktopServices::setUrlHandler("https"_q, this, "openUrl");
        window = std::make_unique<MainWindow>();
        auto *about = window->findChild<About *>();
        QVERIFY(about && !about->isVisible());
        const auto *notice = about->findChild<QLabel *>("developmentKeysLabel"_q);
        QCOMPARE(notice && notice->text() == "Clés de développement"_q, developmentKeys());
        const QRegularExpression banner(
            "Démarrage de l'application\n\\*{35}\n\n== [0-9/: ]{19} == Attention : ce "
            "programme est construit avec les clés de développement, connues de tous ; il ne "
            "doit jamais être remis à un opérateur\n"_q);
        QVERIFY2(banner.match(log()).hasMatch() == developmentKeys(), qPrintable(log()));
        QCOMPARE(log().contains("clés de développement"_q), developmentKeys());
        for (int round = 0; round < 2; ++round) {
            widget<QAction>("actionAbout")->trigger();
            QVERIFY(about->isVisible() && about->isModal());
            about->close();
        }
        QCOMPARE(log().count("== Fenêtre about\n"_q), 2);
        QTest::mouseClick(widget<QPushButton>("pushButton"), Qt::LeftButton);
        QTest::mouseClick(about->findChild<QPushButton *>("pushButton"_q), Qt::LeftButton);
        QDesktopServices::unsetUrlHandler("https"_q);
        QCOMPARE(urls.size(), 2);
        QCOMPARE(urls[0].host() + " "_q + urls[1].scheme(), "www.tarvenix.example https"_q);
        QVERIFY(logged("Go www.tarvenix.example"_q));
    }

private:
    // The event loop, ended with 99 if the program has not ended it within `ms`. The timer
    // goes with the guard: a later test's loop must not be ended by it.
    static int execWithin(int ms)
    {
        QObject guard;
        QTimer::singleShot(ms, &guard, [] { QCoreApplication::exit(99); });
        return QApplication::exec();
    }

    sim::Terminal *plug(const char *base, const char *vendor = "Tarvenix",
                        sim::Behaviour behaviour = quickTerminal())
    {
        const std::string name = device(base).toStdString();
        behaviour.setCatalogue(0x12, 0x34, 0x56); // the package's
        terminals.push_back(std::make_unique<sim::Terminal>(behaviour));
        return bed->add(mockbed::Device{name, vendor, "Terminal_USB"}) &&
                       terminals.back()->start(bed->masterFd(name), true)
                   ? terminals.back().get()
                   : nullptr;
    }

    // One terminal plugged in, the window ready, the start button pressed; the package's
    // reboot delay replaced by `delayReboot` when one is given.
    sim::Terminal *startInstallation(const sim::Behaviour &behaviour = quickTerminal(),
                                     int delayReboot = -1)
    {
        sim::Terminal *terminal = plug("ttyACM", "Tarvenix", behaviour);
        window = std::make_unique<MainWindow>();
        if (!terminal ||
            !QTest::qWaitFor([this] { return window->isVisible() && button()->isEnabled(); }))
            return nullptr;
        if (delayReboot >= 0)
            window->getModel()->getConfiguration()->terminal->delayReboot = delayReboot;
        QTest::mouseClick(button(), Qt::LeftButton);
        return terminal;
    }

    // label_2, the list's entries (the current one marked *) and whether start can be pressed.
    QStringList state() const
    {
        QStringList s{widget<QLabel>("label_2")->text()};
        for (int i = 0; i < combo()->count(); ++i)
            s << (i == combo()->currentIndex() ? "*"_q : ""_q) + combo()->itemText(i);
        return s << (button()->isEnabled() ? "start"_q : "no start"_q);
    }

    // configuration.xml with two batches: a file of two blocks, then one of three.
    static bool writeTwoBatches()
    {
        QByteArray xml = fixture::unsignedXml();
        xml.replace("<batch id=\"1\"><file>app.bin</file></batch>",
                    "<batch id=\"1\"><file>small.bin</file></batch>"
                    "<batch id=\"2\"><file>app.bin</file></batch>");
        xml.replace("<delayReboot>60000</delayReboot>", "<delayReboot>5000</delayReboot>");
        const QDir dir(Configuration::directory());
        return fixture::write(dir.filePath("small.bin"_q), pack::seal(QByteArray(200, 's'))) &&
               fixture::write(Configuration::filePath(),
                              fixture::signXml(xml, Configuration::directory()));
    }
    QString noBus() const { return "unix:path="_q + work.filePath("no-bus"_q); }
    static QString logName() { return QDate::currentDate().toString("yyyyMMdd"_q) + "_logs.txt"_q; }
    static QString log()
    {
        QFile file(logName());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    static bool logged(const QString &entry) { return log().contains("== "_q + entry + "\n"_q); }
    // The reports written beside the log, by their absolute paths.
    static QStringList reports()
    {
        QStringList paths;
        const QFileInfoList found =
            QDir::current().entryInfoList({"*_rapport.txt"_q}, QDir::Files, QDir::Name);
        for (const QFileInfo &info : found)
            paths << info.absoluteFilePath();
        return paths;
    }
    // The sentence a box adds about the one report written.
    static QString reportSentence()
    {
        const QStringList written = reports();
        return written.size() == 1
                   ? "\nUn rapport de diagnostic a été enregistré pour le support : "_q +
                         QDir::toNativeSeparators(written.first())
                   : "\n(%1 rapports)"_q.arg(written.size());
    }
    static bool inOrder(const QStringList &parts)
    {
        const QString text = log();
        int at = 0;
        for (const QString &part : parts)
            at = at < 0 ? at : text.indexOf(part, at);
        return at >= 0;
    }

    // The form's widget of that name first (the About dialog has a pushButton too), then the
    // window's (its actions).
    template<class T>
    T *widget(const char *name) const
    {
        const auto *form = window->findChild<QWidget *>("centralWidget"_q);
        T *found = form ? form->findChild<T *>(QString::fromLatin1(name)) : nullptr;
        return found ? found : window->findChild<T *>(QString::fromLatin1(name));
    }
    QPushButton *button() const { return widget<QPushButton>("generateButton"); }
    QComboBox *combo() const { return widget<QComboBox>("terminalsNames"); }
    QPixmap picture() const { return widget<QLabel>("imageTerminal")->pixmap(Qt::ReturnByValue); }

    Model::Timing fast;
    QTemporaryDir work;
    std::unique_ptr<mockbed::Testbed> bed;
    std::vector<std::unique_ptr<sim::Terminal>> terminals;
    std::unique_ptr<MainWindow> window;
    QTimer boxCloser;
    QStringList boxes;
    QStringList boxButtons;        // each box's buttons but OK, ',' between
    bool reinstallFromBox = false; // the next box that offers it asks for a reinstallation
    QList<QUrl> urls;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
