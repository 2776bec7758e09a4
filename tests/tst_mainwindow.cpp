#include "config/configuration.h"
#include "mockbed.h"
#include "model/model.h"
#include "pack.h"
#include "packagefixture.h"
#include "terminal.h"
#include "testseam.h"
#include "ui/about.h"
#include "ui/mainwindow.h"

#include <QAction>
#include <QComboBox>
#include <QDate>
#include <QDesktopServices>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QThreadPool>
#include <QTimer>

#include <memory>

namespace {

// Device names of this process's own: a serial port's lock file is named after the device, and
// tests run side by side.
QString device(const char *base)
{
    return QString::fromLatin1(base) + QString::number(QCoreApplication::applicationPid());
}
QString labelOf(const QString &name, const QString &model = QStringLiteral("Terminal USB"))
{
    return name + QStringLiteral(" - (") + model + QLatin1Char(')');
}
const QString kThreeFound = QStringLiteral(
    "3 terminaux ont été détectés.\nSélectionnez celui que vous souhaitez mettre à jour :");

// Catalogue code the simulated terminal reports by default, at bytes 8..10 of an hterm record.
QByteArray htermRecord()
{
    sim::Behaviour terminal;
    return QByteArray(8, '\0') + terminal.record.mid(sim::Behaviour::kCatalogueOffset, 3);
}

// A signed package of two batches (two files, then one) for the simulated terminal.
bool writePackage(const QString &dir, const QString &description)
{
    const QByteArray xml =
        QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n"
                          "<terminal><name>Iris</name><code>IR5</code><image>terminal.png</image>"
                          "<delayReboot>0</delayReboot></terminal>\n"
                          "<operation><title>Mise \xc3\xa0 jour 2.2</title><description>") +
        description.toHtmlEscaped().toUtf8() +
        QByteArrayLiteral("</description></operation>\n<hterm>hterm.bin</hterm>\n"
                          "<batch id=\"1\"><file>app1.bin</file><file>app2.bin</file></batch>\n"
                          "<batch id=\"2\"><file>app3.bin</file></batch>\n</configuration>\n");
    QImage picture(60, 80, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    const QDir d(dir);
    return QDir().mkpath(dir) && picture.save(d.filePath(QStringLiteral("terminal.png"))) &&
           fixture::write(d.filePath(QStringLiteral("hterm.bin")), pack::seal(htermRecord())) &&
           fixture::write(d.filePath(QStringLiteral("app1.bin")),
                          pack::seal(QByteArray(300, 'a'))) &&
           fixture::write(d.filePath(QStringLiteral("app2.bin")),
                          pack::seal(QByteArray(130, 'b'))) &&
           fixture::write(d.filePath(QStringLiteral("app3.bin")), pack::seal(QByteArray(5, 'c'))) &&
           fixture::write(d.filePath(QStringLiteral("configuration.xml")), fixture::signXml(xml));
}

// Closes every message box as soon as it shows, and remembers what it said.
class BoxCloser : public QObject
{
public:
    struct Seen
    {
        QString title;
        QString text;
        QMessageBox::Icon icon;
    };

    BoxCloser()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            const auto widgets = QApplication::topLevelWidgets();
            for (QWidget *widget : widgets) {
                auto *box = qobject_cast<QMessageBox *>(widget);
                if (!box || !box->isVisible())
                    continue;
                seen.append({box->windowTitle(), box->text(), box->icon()});
                box->button(QMessageBox::Ok)->click();
            }
        });
        timer.start(30);
    }
    QList<Seen> seen;

private:
    QTimer timer;
};

} // namespace

// Stands in for the browser.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Short waits: the scenario is proved elsewhere with its own timing; here the window.
        Model::Timing fast;
        fast.requestDelayMs = 5;
        fast.perFileActivationMs = 5;
        fast.hterminalDelayMs = 5;
        fast.replyTimeoutMs = 1000;
        fast.rebootWaitMinMs = 2000;
        fast.rebootStepMs = 50;
        fast.searchPauseMs = 150;
        fast.releaseTimeoutMs = 100;
        TestSeam::setInitialTiming(fast);
        QApplication::setQuitOnLastWindowClosed(true);
        packageDir = Configuration::directory();
        QVERIFY(writePackage(packageDir, QStringLiteral("Nouvelle version")));
    }

    void cleanupTestCase() { QDir(packageDir).removeRecursively(); }

    void init()
    {
        work = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(work->path()));
        bed = std::make_unique<mockbed::Testbed>();
    }

    void cleanup()
    {
        window.reset();
        for (auto &terminal : terminals)
            terminal->stop();
        terminals.clear();
        bed.reset();
        QDir::setCurrent(QDir::tempPath());
        work.reset();
    }

    // Loading: hidden, nothing to press. Then the configuration shows the window, and the
    // search fills the list and enables the button.
    void loadingWaitingReady()
    {
        plug(device("ttyACM"), QStringLiteral("Tarvenix"));
        window = std::make_unique<MainWindow>();
        QVERIFY(!window->isVisible());
        QVERIFY(!button()->isEnabled());
        QCOMPARE(label2()->text(), QStringLiteral("Votre terminal a été détecté sur le port :"));

        QTRY_VERIFY(window->isVisible());
        const QColor teal(60, 177, 195);
        QCOMPARE(widget<QLabel>("label_3")->palette().color(QPalette::WindowText), teal);
        QCOMPARE(button()->palette().color(QPalette::ButtonText), teal);
        QCOMPARE(window->size(), QSize(764, 615));
        QCOMPARE(window->minimumSize(), window->maximumSize());
        QCOMPARE(widget<QLabel>("operationTitleLabel")->text(), QStringLiteral("Mise à jour 2.2"));
        QCOMPARE(description()->toPlainText(), QStringLiteral("Nouvelle version"));
        QVERIFY(!widget<QLabel>("imageTerminal")->pixmap(Qt::ReturnByValue).isNull());

        QTRY_COMPARE(combo()->count(), 1);
        QCOMPARE(combo()->currentText(), labelOf(device("ttyACM")));
        QCOMPARE(label2()->text(), QStringLiteral("Votre terminal a été détecté :"));
        QVERIFY(button()->isEnabled());
        QVERIFY(log().contains(QStringLiteral("== Configuration chargée avec succès\n")));
        QVERIFY(log().contains(QStringLiteral("== Terminal détecté : ") +
                               labelOf(device("ttyACM")) + QLatin1Char('\n')));
    }

    // Three terminals: the count in the label, the preferred one selected. A later search that
    // finds as many leaves the operator's choice alone, even when the labels changed.
    void threeTerminalsKeepSelection()
    {
        plug(device("ttyACM"), QStringLiteral("Tarvenix"));
        plug(device("ttyACM9"), QStringLiteral("Quelmo"));
        plug(device("ttyUSB"), QStringLiteral("TARVENIX"));
        window = std::make_unique<MainWindow>();
        QTRY_COMPARE(combo()->count(), 3);
        QCOMPARE(label2()->text(), kThreeFound);
        QCOMPARE(combo()->currentIndex(), 0);
        QCOMPARE(combo()->itemText(1), labelOf(device("ttyACM9")));
        QCOMPARE(log().count(QStringLiteral("Terminal détecté : ")), 3);

        combo()->setCurrentIndex(2);
        bed->remove(device("ttyUSB").toStdString());
        QVERIFY(bed->add(mockbed::Device{device("ttyUSC").toStdString(), "Tarvenix", "Autre"}));
        const int searches = log().count(QStringLiteral("Démarrage de la recherche de terminal"));
        QTRY_VERIFY(log().count(QStringLiteral("Démarrage de la recherche de terminal")) >=
                    searches + 2);
        QCOMPARE(combo()->count(), 3);
        QCOMPARE(combo()->currentIndex(), 2);
        QCOMPARE(combo()->itemText(2), labelOf(device("ttyUSB")));
        QCOMPARE(label2()->text(), kThreeFound);
        QCOMPARE(log().count(QStringLiteral("Terminal détecté : ")), 3);
    }

    // No serial port at all, then a terminal is plugged in.
    void noSerialPortThenPlugIn()
    {
        QVERIFY(
            QDir().mkpath(QString::fromStdString(bed->root()) + QStringLiteral("/sys/class/tty")));
        window = std::make_unique<MainWindow>();
        QTRY_COMPARE(combo()->itemText(0), QStringLiteral("Aucun terminal détecté"));
        QCOMPARE(combo()->count(), 1);
        QCOMPARE(label2()->text(), QString());
        QVERIFY(!button()->isEnabled());
        QVERIFY(log().contains(QStringLiteral("== Erreur détection de terminal\n")));

        plug(device("ttyACM"), QStringLiteral("Tarvenix"));
        QTRY_COMPARE(combo()->itemText(0), labelOf(device("ttyACM")));
        QCOMPARE(combo()->count(), 1);
        QCOMPARE(label2()->text(), QStringLiteral("Votre terminal a été détecté :"));
        QTRY_VERIFY(button()->isEnabled());
    }

    void portsButNoTerminal()
    {
        QVERIFY(
            bed->add(mockbed::Device{device("ttyUSB").toStdString(), "Autre_Fabricant", "Modem"}));
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(log().count(QStringLiteral("== Aucun terminal détecté\n")) >= 2);
        QCOMPARE(label2()->text(), QStringLiteral("Aucun terminal détecté"));
        QCOMPARE(combo()->count(), 0);
        QVERIFY(!button()->isEnabled());
    }

    // A missing configuration: only the error box; once it is closed the program ends.
    void configurationFailureEndsProgram()
    {
        const QString aside = packageDir.chopped(1) + QStringLiteral(".aside");
        QVERIFY(QDir().rename(packageDir, aside));
        BoxCloser boxes;
        window = std::make_unique<MainWindow>();
        bool everShown = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] { everShown |= window->isVisible(); });
        watch.start(10);
        QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
        const int code = QApplication::exec();
        QVERIFY(QDir().rename(aside, packageDir));

        QCOMPARE(code, 0);
        QVERIFY(!everShown);
        QCOMPARE(boxes.seen.size(), 1);
        const QString path = Configuration::filePath();
        QCOMPARE(boxes.seen[0].title, QStringLiteral("Erreur fichier de configuration"));
        QCOMPARE(boxes.seen[0].text, QStringLiteral("Le fichier de configuration (") + path +
                                         QStringLiteral(") est manquant ou incorrect.\n"
                                                        "Veuillez contacter votre support."));
        QCOMPARE(boxes.seen[0].icon, QMessageBox::Critical);
        window.reset();
        const QString text = log();
        const int failure = text.indexOf(QStringLiteral("== Le fichier de configuration (") + path +
                                         QStringLiteral(") est manquant ou incorrect.\n"));
        QVERIFY(failure > 0);
        QVERIFY(text.indexOf(QStringLiteral("Fin de l'application")) > failure);
    }

    void descriptionMarkup_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("shown");
        QTest::newRow("html marker") << QStringLiteral("<html><b>Nouvelle</b> version</html>")
                                     << QStringLiteral("Nouvelle version");
        // The marker after a line break: still HTML, though the widget would call it plain.
        QTest::newRow("marker on line two") << QStringLiteral("Version\n<html><b>gras</b></html>")
                                            << QStringLiteral("Version gras");
        // The marker in capitals only: the widget's own guess, here plain text.
        QTest::newRow("capitals") << QStringLiteral("Version\n<HTML><b>gras</b></HTML>")
                                  << QStringLiteral("Version\n<HTML><b>gras</b></HTML>");
        QTest::newRow("plain") << QStringLiteral("2 < 3") << QStringLiteral("2 < 3");
    }
    void descriptionMarkup()
    {
        QFETCH(QString, description);
        QFETCH(QString, shown);
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(window->isVisible());
        window->getModel()->getConfiguration()->operation->description = description;
        window->on_configuration_loaded();
        QCOMPARE(this->description()->toPlainText(), shown);
    }

    void progressIsShownAndLogged()
    {
        window = std::make_unique<MainWindow>();
        emit window->getModel()->setModuleProgression(QStringLiteral("X"), 37);
        emit window->getModel()->setTotalProgression(QStringLiteral("Y"), 55);
        QCOMPARE(widget<QProgressBar>("moduleProgressBar")->value(), 37);
        QCOMPARE(widget<QLabel>("moduleLabel")->text(), QStringLiteral("X"));
        QCOMPARE(widget<QProgressBar>("totalProgressBar")->value(), 55);
        QCOMPARE(widget<QLabel>("moduleLabel_2")->text(), QStringLiteral("Y"));
        QVERIFY(log().contains(QStringLiteral("== Module : X - 37\n")));
        QVERIFY(log().contains(QStringLiteral("== Total : Y - 55\n")));
    }

    // The whole run: a two-batch installation against the simulated terminal, the success box,
    // and the program's end with code 0; the log holds it all in order.
    void successfulInstallationEndsProgram()
    {
        sim::Terminal *terminal = plug(device("ttyACM"), QStringLiteral("Tarvenix"));
        BoxCloser boxes;
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(window->isVisible() && button()->isEnabled());
        QTest::mouseClick(button(), Qt::LeftButton);
        QTimer::singleShot(60000, [] { QCoreApplication::exit(99); });
        QCOMPARE(QApplication::exec(), 0);
        window.reset();

        QCOMPARE(boxes.seen.size(), 1);
        QCOMPARE(boxes.seen[0].icon, QMessageBox::Information);
        QCOMPARE(boxes.seen[0].title, QStringLiteral("Installation réalisée avec succès"));
        QCOMPARE(boxes.seen[0].text, QStringLiteral("Le terminal a été correctement mis à jour."));
        const auto downloads = terminal->record().completeDownloads();
        QCOMPARE(downloads.size(), 3);
        QCOMPARE(downloads[0].content, QByteArray(300, 'a'));
        QCOMPARE(downloads[2].content, QByteArray(5, 'c'));

        expectInOrder(log(),
                      {QStringLiteral("Démarrage de l'application"),
                       QStringLiteral("== Configuration chargée avec succès"),
                       QStringLiteral("== Terminal détecté : ") + labelOf(device("ttyACM")),
                       QStringLiteral("== Total : Démarrage de l'installation - 0"),
                       QStringLiteral("== Total : Tentative d'accès au terminal - 5"),
                       QStringLiteral("== Module : Téléchargement du fichier : APP1.BIN - 100"),
                       QStringLiteral("== Module : 2 fichiers ont été téléchargés - 100"),
                       QStringLiteral("== Total : Redémarrage du terminal en cours. - 39"),
                       QStringLiteral("== Total : Tentative d'accès au terminal - 49"),
                       QStringLiteral("== Module : 1 fichier a été téléchargé - 100"),
                       QStringLiteral("== Total : Redémarrage du terminal en cours. - 84"),
                       QStringLiteral("== Total : Installation réalisée avec succès - 100"),
                       QStringLiteral("== Installation réalisée avec succès - Le terminal a "
                                      "été correctement mis à jour. - [succès]"),
                       QStringLiteral("== Fermeture de l'application"),
                       QStringLiteral("Fin de l'application")});
    }

    // A failed installation: the critical box, then both controls come back and the search
    // goes on; a second press meanwhile was ignored.
    void failedInstallationAllowsRetry()
    {
        sim::Behaviour refusing;
        refusing.receivingApp = false;
        plug(device("ttyACM"), QStringLiteral("Tarvenix"), refusing);
        BoxCloser boxes;
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(window->isVisible() && button()->isEnabled());
        QTest::mouseClick(button(), Qt::LeftButton);
        window->on_generateButton_clicked_final(); // a second start while the first runs
        QVERIFY(!button()->isEnabled());
        QVERIFY(!combo()->isEnabled());

        QTRY_COMPARE_WITH_TIMEOUT(boxes.seen.size(), 1, 20000);
        QCOMPARE(boxes.seen[0].icon, QMessageBox::Critical);
        QCOMPARE(boxes.seen[0].title, QStringLiteral("Erreur mirandol"));
        QTRY_VERIFY(!window->isInstallStarted());
        QVERIFY(combo()->isEnabled());
        const QString result = QStringLiteral(
            "== Erreur mirandol - L'application \"Mirandol\" n'est pas installée sur le "
            "terminal.\n - [échec]");
        QTRY_VERIFY(log().indexOf(QStringLiteral("Démarrage de la recherche de terminal"),
                                  log().indexOf(result)) > 0);
        QCOMPARE(log().count(QStringLiteral("== Total : Démarrage de l'installation - 0")), 1);
        QTRY_VERIFY(button()->isEnabled());
    }

    // A search still pausing when a failed installation ends must not give a second search
    // loop: the result of the old search and the new one would each start another.
    void oneSearchLoopAfterFailure()
    {
        Model::Timing slowSearch = TestSeam::initialTiming();
        const Model::Timing saved = slowSearch;
        slowSearch.searchPauseMs = 1000;
        TestSeam::setInitialTiming(slowSearch);
        sim::Behaviour refusing;
        refusing.receivingApp = false;
        plug(device("ttyACM"), QStringLiteral("Tarvenix"), refusing);
        BoxCloser boxes;
        window = std::make_unique<MainWindow>();
        TestSeam::setInitialTiming(saved);
        QTRY_VERIFY(window->isVisible() && button()->isEnabled());
        QTest::mouseClick(button(), Qt::LeftButton); // the next search is in its pause now
        QTRY_VERIFY(!window->isInstallStarted() && boxes.seen.size() == 1);
        const QString start = QStringLiteral("Démarrage de la recherche de terminal");
        const int before = log().count(start);
        QTest::qWait(2500);
        QVERIFY2(log().count(start) - before <= 3, qPrintable(log()));
    }

    // While an installation uses the link the window refuses to close; afterwards it closes.
    void closeRefusedDuringInstallation()
    {
        sim::Behaviour slow;
        slow.muted.insert(sim::Command::Authorization); // the exact read waits out its budget
        plug(device("ttyACM"), QStringLiteral("Tarvenix"), slow);
        BoxCloser boxes;
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(window->isVisible() && button()->isEnabled());
        QTest::mouseClick(button(), Qt::LeftButton);
        QVERIFY(!window->close());
        QVERIFY(window->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(boxes.seen.size(), 1, 20000);
        QTRY_VERIFY(!window->isInstallStarted());
        QVERIFY(window->close());
    }

    // A window destroyed while its workers run waits for them before the release sweep, so
    // the link never has two users.
    void teardownWaitsForWorkers()
    {
        sim::Behaviour paced;
        paced.pace9600 = true; // about 0.17 s per data block
        sim::Terminal *terminal = plug(device("ttyACM"), QStringLiteral("Tarvenix"), paced);
        window = std::make_unique<MainWindow>();
        QTRY_VERIFY(window->isVisible() && button()->isEnabled());
        QTest::mouseClick(button(), Qt::LeftButton);
        QTRY_VERIFY(terminal->record().count(sim::Command::Data) > 0);
        window.reset();
        QCOMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);

        const auto frames = terminal->record().frames;
        int firstRelease = -1;
        int lastOther = -1;
        for (int i = 0; i < frames.size(); ++i) {
            if (frames[i].command == sim::Command::Release)
                firstRelease = firstRelease < 0 ? i : firstRelease;
            else
                lastOther = i;
        }
        QVERIFY(firstRelease > lastOther);
        QVERIFY(terminal->record().completeDownloads().size() == 3);
    }

    void aboutDialog()
    {
        window = std::make_unique<MainWindow>();
        auto *about = window->findChild<About *>();
        QVERIFY(about);
        QVERIFY(!about->isVisible());
        for (int round = 0; round < 2; ++round) {
            widget<QAction>("actionAbout")->trigger();
            QVERIFY(about->isVisible());
            QVERIFY(about->isModal());
            QCOMPARE(about->windowTitle(), QStringLiteral("A propos"));
            QCOMPARE(about->size(), QSize(630, 160));
            QCOMPARE(about->minimumSize(), about->maximumSize());
            QVERIFY(!(about->windowFlags() & Qt::WindowContextHelpButtonHint));
            QCOMPARE(about->findChild<QLabel *>(QStringLiteral("label_5"))->text(),
                     QStringLiteral("Vardel"));
            QCOMPARE(about->findChild<QLabel *>(QStringLiteral("versionLabel"))->text(),
                     QStringLiteral("Version: 2.2.1"));
            QCOMPARE(about->findChild<QLabel *>(QStringLiteral("buildLabel"))->text(),
                     QStringLiteral("Build: 20200602"));
            QVERIFY(!about->findChild<QLabel *>(QStringLiteral("label_6"))->text().isEmpty());
            about->close();
        }
        QCOMPARE(log().count(QStringLiteral("== Fenêtre about\n")), 2);
    }

    void logoOpensWebSite()
    {
        UrlRecorder recorder;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
        window = std::make_unique<MainWindow>();
        QTest::mouseClick(widget<QPushButton>("pushButton"), Qt::LeftButton);
        auto *about = window->findChild<About *>();
        QTest::mouseClick(about->findChild<QPushButton *>(QStringLiteral("pushButton")),
                          Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(recorder.opened.size(), 2);
        QCOMPARE(recorder.opened[0].host(), QStringLiteral("www.tarvenix.example"));
        QCOMPARE(recorder.opened[1].scheme(), QStringLiteral("https"));
        QVERIFY(log().contains(QStringLiteral("== Go www.tarvenix.example\n")));
    }

private:
    sim::Terminal *plug(const QString &name, const QString &vendor,
                        const sim::Behaviour &behaviour = sim::Behaviour())
    {
        if (!bed->add(mockbed::Device{name.toStdString(), vendor.toStdString(), "Terminal_USB"}))
            return nullptr;
        terminals.push_back(std::make_unique<sim::Terminal>(behaviour));
        if (!terminals.back()->start(bed->masterFd(name.toStdString()), true))
            return nullptr;
        return terminals.back().get();
    }

    QString log() const
    {
        QFile file(
            QDir::current().filePath(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) +
                                     QStringLiteral("_logs.txt")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    static void expectInOrder(const QString &text, const QStringList &parts)
    {
        int at = 0;
        for (const QString &part : parts) {
            const int found = text.indexOf(part, at);
            QVERIFY2(
                found >= 0,
                qPrintable(QStringLiteral("missing after %1: %2\n%3").arg(at).arg(part, text)));
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
    QLabel *label2() const { return widget<QLabel>("label_2"); }
    QTextBrowser *description() const { return widget<QTextBrowser>("operationDescriptionLabel"); }

    QString packageDir;
    std::unique_ptr<QTemporaryDir> work;
    std::unique_ptr<mockbed::Testbed> bed;
    std::vector<std::unique_ptr<sim::Terminal>> terminals;
    std::unique_ptr<MainWindow> window;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
