// The window, built in this process, against simulated terminals on mocked serial ports.
#include "config/configuration.h"
#include "mockbed.h"
#include "model/model.h"
#include "packagefixture.h"
#include "simrig.h"
#include "testseam.h"
#include "ui/about.h"
#include "ui/mainwindow.h"

#include <QtTest>
#include <QtWidgets>

namespace {

// A text of the tests, UTF-8.
QString operator""_q(const char *text, size_t size)
{
    return QString::fromUtf8(text, int(size));
}

const QString kSearch = "Démarrage de la recherche de terminal"_q;
const QString kOneFound = "Votre terminal a été détecté :"_q;
const QString kNoTerminal = "Aucun terminal détecté"_q;

// Device names of this process's own: a serial port's lock file is named after the device, and
// tests run side by side.
QString device(const char *base)
{
    return QString::fromLatin1(base) + QString::number(QCoreApplication::applicationPid());
}
QString labelOf(const char *base)
{
    return device(base) + " - (Terminal USB)"_q;
}

// The fixture's package (its terminal's catalogue code 12 34 56), with two batches: app.bin
// twice, then once.
bool writePackage(const QString &dir)
{
    QByteArray xml = fixture::unsignedXml();
    xml.replace("<file>app.bin</file>", "<file>app.bin</file><file>app.bin</file>")
        .replace("</batch>", "</batch><batch id=\"2\"><file>app.bin</file></batch>");
    return fixture::writePackage(dir) &&
           fixture::write(dir + "configuration.xml"_q, fixture::signXml(xml));
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
        // Short waits: the scenario is proved elsewhere with its own timing; here the window.
        Model::Timing fast = SimRig::fastTiming();
        fast.searchPauseMs = 150;
        TestSeam::setInitialTiming(fast);
        QApplication::setQuitOnLastWindowClosed(true);
        QVERIFY(writePackage(Configuration::directory()));
        // Every message box is closed as soon as it shows, and remembered.
        connect(&boxCloser, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                boxes << (box->icon() == QMessageBox::Critical ? "critical: "_q
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
        work = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(work->path()));
        bed = std::make_unique<mockbed::Testbed>();
        boxes.clear();
    }
    void cleanup()
    {
        window.reset();
        terminals.clear();
        bed.reset();
        QDir::setCurrent(QDir::tempPath());
        work.reset();
    }

    // Loading: hidden, nothing to press. The configuration shows the window, the search fills
    // the list and enables the button. Progress reaches the bars, their captions and the log.
    void oneTerminal()
    {
        plug("ttyACM");
        window = std::make_unique<MainWindow>();
        QVERIFY(!window->isVisible());
        QCOMPARE(state(),
                 (QStringList{"Votre terminal a été détecté sur le port :"_q, "no start"_q}));
        QTRY_VERIFY(window->isVisible());
        QTRY_COMPARE(state(), (QStringList{kOneFound, "*"_q + labelOf("ttyACM"), "start"_q}));
        const QColor teal(60, 177, 195);
        QCOMPARE(widget<QLabel>("label_3")->palette().color(QPalette::WindowText), teal);
        QCOMPARE(button()->palette().color(QPalette::ButtonText), teal);
        QVERIFY(window->minimumSize() == QSize(764, 615) &&
                window->maximumSize() == QSize(764, 615));
        QCOMPARE(widget<QLabel>("operationTitleLabel")->text(), "Mise à jour"_q);
        QCOMPARE(widget<QTextBrowser>("operationDescriptionLabel")->toPlainText(), "V2"_q);
        QVERIFY(!widget<QLabel>("imageTerminal")->pixmap(Qt::ReturnByValue).isNull());

        emit window->getModel()->setModuleProgression("X"_q, 37);
        emit window->getModel()->setTotalProgression("Y"_q, 55);
        QCOMPARE(widget<QProgressBar>("moduleProgressBar")->value(), 37);
        QCOMPARE(widget<QProgressBar>("totalProgressBar")->value(), 55);
        QCOMPARE(widget<QLabel>("moduleLabel")->text() + widget<QLabel>("moduleLabel_2")->text(),
                 "XY"_q);
        QVERIFY(logged("Module : X - 37"_q) && logged("Total : Y - 55"_q));
    }

    // Three terminals: the count in the label, the preferred one selected. A later search that
    // finds as many leaves the operator's choice alone, even when the labels changed.
    void threeTerminalsKeepSelection()
    {
        plug("ttyACM");
        plug("ttyACM9", "Quelmo");
        plug("ttyUSB", "TARVENIX");
        window = std::make_unique<MainWindow>();
        QTRY_COMPARE(
            state(),
            (QStringList{
                "3 terminaux ont été détectés.\nSélectionnez celui que vous souhaitez mettre à jour :"_q,
                "*"_q + labelOf("ttyACM"), labelOf("ttyACM9"), labelOf("ttyUSB"), "start"_q}));
        combo()->setCurrentIndex(2);
        const QStringList chosen = state();
        bed->remove(device("ttyUSB").toStdString());
        QVERIFY(bed->add(mockbed::Device{device("ttyUSC").toStdString(), "Tarvenix", "Autre"}));
        const int searches = log().count(kSearch);
        QTRY_VERIFY(log().count(kSearch) >= searches + 2);
        QCOMPARE(state(), chosen);
        QCOMPARE(log().count("Terminal détecté : "_q), 3);
    }

    // No serial port at all, then a terminal is plugged in.
    void noSerialPortThenPlugIn()
    {
        QVERIFY(QDir(QString::fromStdString(bed->root())).mkpath("sys/class/tty"_q));
        window = std::make_unique<MainWindow>();
        QTRY_COMPARE(state(), (QStringList{QString(), "*"_q + kNoTerminal, "no start"_q}));
        QVERIFY(logged("Erreur détection de terminal"_q));
        plug("ttyACM");
        QTRY_COMPARE(state(), (QStringList{kOneFound, "*"_q + labelOf("ttyACM"), "start"_q}));
    }

    void portsButNoTerminal()
    {
        QVERIFY(plug("ttyUSB", "Autre_Fabricant"));
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(log().count("== Aucun terminal détecté\n"_q) >= 2);
        QCOMPARE(state(), (QStringList{kNoTerminal, "no start"_q}));
    }

    // A missing configuration: only the error box; once it is closed the program ends.
    void configurationFailureEndsProgram()
    {
        const QString packageDir = Configuration::directory();
        const QString aside = packageDir.chopped(1) + ".aside"_q;
        QVERIFY(QDir().rename(packageDir, aside));
        window = std::make_unique<MainWindow>();
        QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
        const int code = QApplication::exec(); // 0 once the box, the only window, is closed
        QVERIFY(QDir().rename(aside, packageDir));
        QVERIFY(code == 0 && !window->isVisible());
        const QString failure = "Le fichier de configuration ("_q + Configuration::filePath() +
                                ") est manquant ou incorrect."_q;
        QCOMPARE(boxes, QStringList{"critical: Erreur fichier de configuration | "_q + failure +
                                    "\nVeuillez contacter votre support."_q});
        window.reset();
        expectInOrder({"== "_q + failure + "\n"_q, "Fin de l'application"_q});
    }

    void descriptionMarkup_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("shown");
        QTest::newRow("html marker") << "<html><b>Nouvelle</b> version</html>"_q
                                     << "Nouvelle version"_q;
        // The marker after a line break: still HTML, though the widget would call it plain.
        QTest::newRow("marker on line two") << "Version\n<html><b>gras</b></html>"_q
                                            << "Version gras"_q;
        // The marker in capitals only: the widget's own guess, here plain text.
        QTest::newRow("capitals") << "Version\n<HTML><b>gras</b></HTML>"_q
                                  << "Version\n<HTML><b>gras</b></HTML>"_q;
        QTest::newRow("plain") << "2 < 3"_q
                               << "2 < 3"_q;
    }
    void descriptionMarkup()
    {
        QFETCH(QString, description);
        QFETCH(QString, shown);
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(window->isVisible());
        window->getModel()->getConfiguration()->operation->description = description;
        window->on_configuration_loaded();
        QCOMPARE(widget<QTextBrowser>("operationDescriptionLabel")->toPlainText(), shown);
    }

    // The whole run: a two-batch installation against the simulated terminal, the success box,
    // and the program's end with code 0; the log holds it all in order.
    void successfulInstallationEndsProgram()
    {
        sim::Terminal *terminal = startInstallation();
        QVERIFY(terminal);
        QTimer::singleShot(60000, [] { QCoreApplication::exit(99); });
        QCOMPARE(QApplication::exec(), 0);
        window.reset();
        const QString done = "Installation réalisée avec succès"_q;
        const QString updated = "Le terminal a été correctement mis à jour."_q;
        QCOMPARE(boxes, QStringList{"information: "_q + done + " | "_q + updated});
        const auto downloads = terminal->record().completeDownloads();
        QCOMPARE(downloads.size(), 3);
        QCOMPARE(downloads[0].content + downloads[2].content, QByteArray(600, 'a'));
        expectInOrder({"Démarrage de l'application"_q, "== Configuration chargée avec succès"_q,
                       "== Terminal détecté : "_q + labelOf("ttyACM"),
                       "== Total : Démarrage de l'installation - 0"_q,
                       "== Total : Tentative d'accès au terminal - 5"_q,
                       "== Module : 2 fichiers ont été téléchargés - 100"_q,
                       "== Total : Redémarrage du terminal en cours. - 39"_q,
                       "== Total : Tentative d'accès au terminal - 49"_q,
                       "== Module : 1 fichier a été téléchargé - 100"_q,
                       "== Total : Redémarrage du terminal en cours. - 84"_q,
                       "== Total : "_q + done + " - 100"_q,
                       "== "_q + done + " - "_q + updated + " - [succès]"_q,
                       "== Fermeture de l'application"_q, "Fin de l'application"_q});
    }

    // A failed installation: meanwhile a second press is ignored and the window refuses to
    // close; then the critical box, both controls come back, the search goes on, and the
    // window closes.
    void failedInstallationAllowsRetry()
    {
        sim::Behaviour slow;
        slow.muted.insert(sim::Command::Authorization); // its read waits out its budget
        QVERIFY(startInstallation(slow));
        window->on_generateButton_clicked_final(); // a second start while the first runs
        QVERIFY(!button()->isEnabled() && !combo()->isEnabled());
        QVERIFY(!window->close() && window->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!window->isInstallStarted(), 20000);
        QCOMPARE(boxes, QStringList{"critical: Erreur autorisation | Le fichier : APP.BIN n'est "
                                    "pas autorisé sur le terminal.\nVeuillez réessayer ou "
                                    "contacter le support."_q});
        QVERIFY(combo()->isEnabled());
        QCOMPARE(log().count("== Total : Démarrage de l'installation - 0"_q), 1);
        const int result = log().indexOf("== Erreur autorisation - "_q);
        QTRY_VERIFY(result > 0 && log().indexOf(kSearch, result) > 0);
        QTRY_VERIFY(button()->isEnabled());
        QVERIFY(window->close());
    }

    // A search still pausing when a failed installation ends must not give a second search
    // loop: the result of the old search and the new one would each start another.
    void oneSearchLoopAfterFailure()
    {
        sim::Behaviour refusing;
        refusing.receivingApp = false;
        QVERIFY(startInstallation(refusing, 1000)); // the next search is in its pause
        QTRY_VERIFY(!window->isInstallStarted() && boxes.size() == 1);
        const int before = log().count(kSearch);
        QTest::qWait(2500);
        QVERIFY2(log().count(kSearch) - before <= 3, qPrintable(log()));
    }

    // A window destroyed while its workers run waits for them before the release sweep, so
    // the link never has two users.
    void teardownWaitsForWorkers()
    {
        sim::Behaviour paced;
        paced.pace9600 = true; // about 0.17 s per data block
        sim::Terminal *terminal = startInstallation(paced);
        QVERIFY(terminal);
        QTRY_VERIFY(terminal->record().count(sim::Command::Data) > 0);
        window.reset();
        QCOMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);
        const sim::Record record = terminal->record();
        QCOMPARE(record.completeDownloads().size(), 3);
        QString commands; // R for a release frame, - for any other
        for (const sim::Frame &frame : record.frames)
            commands +=
                frame.command == sim::Command::Release ? QLatin1Char('R') : QLatin1Char('-');
        QVERIFY2(commands.endsWith(QLatin1Char('R')) && !commands.contains("R-"_q),
                 qPrintable(commands));
    }

    // The About dialog, shown twice; both logos open the maker's web site.
    void aboutAndLogos()
    {
        QDesktopServices::setUrlHandler("https"_q, this, "openUrl");
        window = std::make_unique<MainWindow>();
        auto *about = window->findChild<About *>();
        QVERIFY(about && !about->isVisible());
        for (int round = 0; round < 2; ++round) {
            widget<QAction>("actionAbout")->trigger();
            QVERIFY(about->isVisible() && about->isModal());
            QVERIFY(!(about->windowFlags() & Qt::WindowContextHelpButtonHint));
            QVERIFY(about->minimumSize() == QSize(630, 160) &&
                    about->maximumSize() == QSize(630, 160));
            QStringList texts{about->windowTitle()};
            for (const char *name : {"label_5", "versionLabel", "buildLabel"})
                texts << about->findChild<QLabel *>(QString::fromLatin1(name))->text();
            QCOMPARE(texts, (QStringList{"A propos"_q, "Vardel"_q, "Version: 2.2.1"_q,
                                         "Build: 20200602"_q}));
            QVERIFY(!about->findChild<QLabel *>("label_6"_q)->text().isEmpty());
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
    sim::Terminal *plug(const char *base, const char *vendor = "Tarvenix",
                        const sim::Behaviour &behaviour = sim::Behaviour())
    {
        const std::string name = device(base).toStdString();
        if (!bed->add(mockbed::Device{name, vendor, "Terminal_USB"}))
            return nullptr;
        sim::Behaviour terminal = behaviour;
        terminal.setCatalogue(0x12, 0x34, 0x56); // the package's
        terminals.push_back(std::make_unique<sim::Terminal>(terminal));
        return terminals.back()->start(bed->masterFd(name), true) ? terminals.back().get()
                                                                  : nullptr;
    }

    // One terminal plugged in, the window ready, the start button pressed.
    sim::Terminal *startInstallation(const sim::Behaviour &behaviour = sim::Behaviour(),
                                     int searchPauseMs = 150)
    {
        sim::Terminal *terminal = plug("ttyACM", "Tarvenix", behaviour);
        const Model::Timing saved = TestSeam::initialTiming();
        Model::Timing timing = saved;
        timing.searchPauseMs = searchPauseMs;
        TestSeam::setInitialTiming(timing);
        window = std::make_unique<MainWindow>();
        TestSeam::setInitialTiming(saved);
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

    QString log() const
    {
        QFile file(QDate::currentDate().toString("yyyyMMdd"_q) + "_logs.txt"_q);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    bool logged(const QString &entry) const { return log().contains("== "_q + entry + "\n"_q); }
    void expectInOrder(const QStringList &parts) const
    {
        const QString text = log();
        int at = 0;
        for (const QString &part : parts) {
            const int found = text.indexOf(part, at);
            QVERIFY2(found >= 0, qPrintable("missing: %1\n%2"_q.arg(part, text)));
            at = found + part.size();
        }
    }

    template<class T>
    T *widget(const char *name) const
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }
    QPushButton *button() const { return widget<QPushButton>("generateButton"); }
    QComboBox *combo() const { return widget<QComboBox>("terminalsNames"); }

    std::unique_ptr<QTemporaryDir> work;
    std::unique_ptr<mockbed::Testbed> bed;
    std::vector<std::unique_ptr<sim::Terminal>> terminals;
    std::unique_ptr<MainWindow> window;
    QTimer boxCloser;
    QStringList boxes;
    QList<QUrl> urls;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
