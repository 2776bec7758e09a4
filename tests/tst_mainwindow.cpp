// The window, built in this process, against simulated terminals on mocked serial ports.
#include "mockbed.h"
#include "packagefixture.h"
#include "simrig.h"
#include "testseam.h"
#include "ui/about.h"
#include "ui/mainwindow.h"

#include <QtTest>
#include <QtWidgets>

#include <sys/stat.h>

namespace {

QString operator""_q(const char *text, size_t size)
{
    return QString::fromUtf8(text, int(size));
}

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
        fast = SimRig::fastTiming();
        fast.searchPauseMs = 150;
        QApplication::setQuitOnLastWindowClosed(true);
        QVERIFY(fixture::writePackage(Configuration::directory()));
        QVERIFY(QDir::setCurrent(work.path())); // where the window writes its log
        // Every message box is closed as soon as it shows, and remembered.
        connect(&boxCloser, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                boxes << (box->icon() == QMessageBox::Critical  ? "critical: "_q
                          : box->icon() == QMessageBox::Warning ? "warning: "_q
                                                                : "information: "_q) +
                             box->windowTitle() + " | "_q + box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        boxCloser.start(30);
    }
    void cleanupTestCase() { QDir(Configuration::directory()).removeRecursively(); }

    void init()
    {
        TestSeam::setInitialTiming(fast);
        bed = std::make_unique<mockbed::Testbed>();
        boxes.clear();
    }
    void cleanup()
    {
        window.reset();
        terminals.clear();
        bed.reset();
        QFile::remove(logName());
        QFile::remove(Configuration::filePath()); // a FIFO is removed, not opened
        QVERIFY(fixture::writePackage(Configuration::directory()));
    }

    // Hidden while loading, nothing to press; the configuration shows the window. "<html>"
    // anywhere makes the description HTML; "<HTML>" alone does not. A picture too large to
    // show (30000 x 30000 declared in a small file) is not decoded. Progress reaches the bars,
    // their captions and the log.
    void configurationShown()
    {
        window = std::make_unique<MainWindow>();
        QVERIFY(!window->isVisible() && !button()->isEnabled());
        QTRY_VERIFY(window->isVisible());
        QCOMPARE(widget<QLabel>("operationTitleLabel")->text(), "Mise à jour"_q);
        QVERIFY(!picture().isNull());
        Configuration *configuration = window->getModel()->getConfiguration();
        QStringList shown{widget<QTextBrowser>("operationDescriptionLabel")->toPlainText()};
        for (const QString &text :
             {"V\n<html><b>gras</b></html>"_q, "V\n<HTML><b>gras</b></HTML>"_q}) {
            configuration->operation->description = text;
            window->on_configuration_loaded();
            shown << widget<QTextBrowser>("operationDescriptionLabel")->toPlainText();
        }
        QCOMPARE(shown, (QStringList{"V2"_q, "V gras"_q, "V\n<HTML><b>gras</b></HTML>"_q}));
        configuration->terminal->image = work.filePath("huge.png"_q);
        QVERIFY(fixture::write(configuration->terminal->image, fixture::pngHeader(30000, 30000)));
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
    // preferred one selected). A later search that finds as many leaves the operator's choice
    // alone, even when the labels changed. Then a port of another maker only.
    void searchResults()
    {
        QVERIFY(QDir(QString::fromStdString(bed->root())).mkpath("sys/class/tty"_q));
        window = std::make_unique<MainWindow>();
        QTRY_COMPARE(state(), (QStringList{QString(), "*"_q + kNoTerminal, "no start"_q}));
        QVERIFY(plug("ttyACM"));
        QTRY_COMPARE(state(), (QStringList{"Votre terminal a été détecté :"_q,
                                           "*"_q + labelOf("ttyACM"), "start"_q}));
        QVERIFY(plug("ttyACM9", "Quelmo") && plug("ttyUSB", "TARVENIX"));
        QTRY_COMPARE(
            state(),
            (QStringList{
                "3 terminaux ont été détectés.\nSélectionnez celui que vous souhaitez mettre à jour :"_q,
                "*"_q + labelOf("ttyACM"), labelOf("ttyACM9"), labelOf("ttyUSB"), "start"_q}));
        combo()->setCurrentIndex(2);
        const QStringList chosen = state();
        const int detected = log().count("== Terminal détecté : "_q);
        bed->remove(device("ttyUSB").toStdString());
        QVERIFY(bed->add(mockbed::Device{device("ttyUSC").toStdString(), "Tarvenix", "Autre"}));
        const int searches = log().count(kSearch);
        QTRY_VERIFY(log().count(kSearch) >= searches + 2);
        QCOMPARE(state(), chosen);
        QCOMPARE(log().count("== Terminal détecté : "_q), detected);
        for (const char *base : {"ttyACM", "ttyACM9", "ttyUSC"})
            bed->remove(device(base).toStdString());
        QVERIFY(plug("ttyUSB2", "Tarvenix_Ltd")); // the whole name is not the brand's
        QTRY_COMPARE(state(), (QStringList{kNoTerminal, "no start"_q}));
        QVERIFY(logged("Erreur détection de terminal"_q) && logged(kNoTerminal));
    }

    // A configuration refused (a batch added after the signature, a FIFO in its place): only
    // the error box, the program ends once it is closed, the terminal hears nothing but the
    // release frames, and the log says what was found.
    void configurationRefused_data()
    {
        QTest::addColumn<bool>("fifo");    // in place of the file; else a batch after the signature
        QTest::addColumn<QString>("line"); // logged before the failure
        QTest::newRow("appended batch") << false
                                        << "== Signature du fichier de configuration refusée : "
                                           "contenu non signé après la signature, à la position "_q;
        QTest::newRow("FIFO") << true
                              << ") n'est pas un fichier ordinaire mais un tube nommé (FIFO) : "
                                 "refusé\n"_q;
    }
    void configurationRefused()
    {
        QFETCH(bool, fifo);
        QFETCH(QString, line);
        const QString file = Configuration::filePath();
        QFile current(file);
        QVERIFY(current.open(QIODevice::ReadOnly));
        const QByteArray tampered = fixture::withAppendedBatch(current.readAll());
        QVERIFY(fifo ? current.remove() && ::mkfifo(QFile::encodeName(file).constData(), 0600) == 0
                     : fixture::write(file, tampered));
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
    void successfulInstallationEndsProgram()
    {
        QVERIFY(startInstallation());
        QCOMPARE(execWithin(60000), 0);
        window.reset();
        const QString done = "Installation réalisée avec succès"_q;
        const QString updated = "Le terminal a été correctement mis à jour."_q;
        QCOMPARE(boxes, QStringList{"information: "_q + done + " | "_q + updated});
        QVERIFY2(inOrder({"Démarrage de l'application"_q, "== Configuration chargée avec succès"_q,
                          "== Terminal détecté : "_q + labelOf("ttyACM"),
                          "== Total : Démarrage de l'installation - 0"_q,
                          "== "_q + done + " - "_q + updated + " - [succès]"_q,
                          "== Fermeture de l'application"_q, "Fin de l'application"_q}),
                 qPrintable(log()));
    }

    // A failed installation: meanwhile a second press is ignored and the window refuses to
    // close; then the critical box, both controls come back and the search goes on. A search
    // still pausing when the installation ended must not give a second search loop.
    void failedInstallationAllowsRetry()
    {
        Model::Timing timing = fast;
        timing.searchPauseMs = 1000; // longer than the failing installation
        TestSeam::setInitialTiming(timing);
        sim::Behaviour refusing;
        refusing.receivingApp = false;
        QVERIFY(startInstallation(refusing));
        window->on_generateButton_clicked_final(); // a second start while the first runs
        QVERIFY(!button()->isEnabled() && !combo()->isEnabled());
        QVERIFY(!window->close() && window->isVisible());
        QTRY_VERIFY(!window->isInstallStarted());
        QCOMPARE(boxes,
                 QStringList{"critical: Erreur mirandol | L'application \"Mirandol\" n'est pas "
                             "installée sur le terminal.\n"_q});
        QVERIFY(button()->isEnabled() && combo()->isEnabled());
        QCOMPARE(log().count("== Total : Démarrage de l'installation - 0"_q), 1);
        const int before = log().count(kSearch);
        QTest::qWait(2500);
        const int searches = log().count(kSearch) - before;
        QVERIFY2(searches >= 1 && searches <= 3, qPrintable(log()));
        QVERIFY(window->close());
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
                        sim::Behaviour behaviour = sim::Behaviour())
    {
        const std::string name = device(base).toStdString();
        behaviour.setCatalogue(0x12, 0x34, 0x56); // the package's
        terminals.push_back(std::make_unique<sim::Terminal>(behaviour));
        return bed->add(mockbed::Device{name, vendor, "Terminal_USB"}) &&
                       terminals.back()->start(bed->masterFd(name), true)
                   ? terminals.back().get()
                   : nullptr;
    }

    // One terminal plugged in, the window ready, the start button pressed.
    sim::Terminal *startInstallation(const sim::Behaviour &behaviour = sim::Behaviour())
    {
        sim::Terminal *terminal = plug("ttyACM", "Tarvenix", behaviour);
        window = std::make_unique<MainWindow>();
        if (!terminal ||
            !QTest::qWaitFor([this] { return window->isVisible() && button()->isEnabled(); }))
            return nullptr;
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

    static QString logName() { return QDate::currentDate().toString("yyyyMMdd"_q) + "_logs.txt"_q; }
    static QString log()
    {
        QFile file(logName());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    static bool logged(const QString &entry) { return log().contains("== "_q + entry + "\n"_q); }
    static bool inOrder(const QStringList &parts)
    {
        const QString text = log();
        int at = 0;
        for (const QString &part : parts)
            at = at < 0 ? at : text.indexOf(part, at);
        return at >= 0;
    }

    template<class T>
    T *widget(const char *name) const
    {
        return window->findChild<T *>(QString::fromLatin1(name));
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
    QList<QUrl> urls;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
