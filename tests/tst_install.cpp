// The installation scenario against the simulated terminal.
#include "config/configuration.h"
#include "link/serialport.h"
#include "replies.h"
#include "simrig.h"
#include "testseam.h"

#include <QTest>
#include <QtConcurrent>

using sim::Behaviour;
using sim::BlockReply;
using sim::Command;
using Files = QList<QPair<QString, QByteArray>>;
using Steps = QList<QPair<QString, int>>;

namespace {

const QString kWait = QStringLiteral("Veuillez patienter ...");
const QString kSupport = QStringLiteral("\nVeuillez réessayer ou contacter le support.");

struct Outcome
{
    bool ok = false;
    QString title;
    QString message;
};

Outcome install(SimRig &rig, const QString &label = QString())
{
    Outcome outcome;
    outcome.ok =
        rig.model().install(label.isEmpty() ? rig.label() : label, outcome.title, outcome.message);
    return outcome;
}

Files smallFiles(int count)
{
    Files files;
    for (int i = 0; i < count; ++i)
        files.append({QStringLiteral("app%1.bin").arg(i), randomBytes(50 + i, quint32(i))});
    return files;
}

QList<int> values(const Steps &steps, const QString &text = QString())
{
    QList<int> out;
    for (const auto &step : steps) {
        if (text.isEmpty() || step.first == text)
            out << step.second;
    }
    return out;
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void emptyScenario()
    {
        SimRig rig;
        QVERIFY(rig.ready());
        ProgressLog progress(rig.model());
        const Outcome outcome = install(rig);
        QVERIFY(!outcome.ok);
        QCOMPARE(outcome.title, QStringLiteral("Erreur fichier de configuration"));
        QCOMPARE(outcome.message,
                 QStringLiteral("Le fichier de configuration ne contient pas de scénario"));
        QCOMPARE(rig.log(), QStringList{outcome.message});
        QVERIFY(progress.total().isEmpty());
        QVERIFY(progress.module().isEmpty());
        QCOMPARE(rig.record().frames.size(), 0);
    }

    // One batch of four files, from connection to the terminal's return.
    void success()
    {
        SimRig rig;
        QVERIFY(rig.ready());
        const Files files = smallFiles(4);
        rig.addBatch(files);
        rig.acceptTerminal();
        ProgressLog progress(rig.model());
        const Outcome outcome = install(rig);
        QVERIFY(outcome.ok);
        QCOMPARE(outcome.title, QStringLiteral("Installation réalisée avec succès"));
        QCOMPARE(outcome.message, QStringLiteral("Le terminal a été correctement mis à jour."));
        QCOMPARE(rig.log(), QStringList());
        QVERIFY(!rig.port().isOpen());

        const Steps expected = {
            {QStringLiteral("Démarrage de l'installation"), 0},
            {QStringLiteral("Tentative d'accès au terminal"), 10},
            {QStringLiteral("Initialisation du terminal"), 20},
            {QStringLiteral("Initialisation de l'application \"Mirandol\" du terminal"), 30},
            {QStringLiteral("Récupération de la configuration matérielle du terminal"), 40},
            {QStringLiteral("Vérification de la cohérence de la configuration matérielle du "
                            "terminal"),
             40},
            {QStringLiteral("Vérification de la liste des applications du terminal"), 50},
            {QStringLiteral("Téléchargement des fichiers en cours (1/4)"), 60},
            {QStringLiteral("Téléchargement des fichiers en cours (2/4)"), 62},
            {QStringLiteral("Téléchargement des fichiers en cours (3/4)"), 64},
            {QStringLiteral("Téléchargement des fichiers en cours (4/4)"), 66},
            {QStringLiteral("Installation des applications sur le terminal en cours"), 68},
            {QStringLiteral("Redémarrage du terminal en cours."), 78},
            {QStringLiteral("Installation réalisée avec succès"), 100}};
        QCOMPARE(progress.total(), expected);

        Steps module = {{kWait, 0}};
        for (int i = 0; i < 4; ++i) {
            const QString text = QStringLiteral("Téléchargement du fichier : APP%1.BIN").arg(i);
            module << qMakePair(text, 0) << qMakePair(text, 100);
        }
        // The terminal answers at the first step of the reboot wait (50 of 300 ms).
        module << qMakePair(QStringLiteral("4 fichiers ont été téléchargés"), 100)
               << qMakePair(kWait, 0) << qMakePair(kWait, 16) << qMakePair(kWait, 100);
        QCOMPARE(progress.module(), module);

        const sim::Record record = rig.record();
        QVERIFY(record.anomalies.isEmpty());
        QCOMPARE(record.completeDownloads().size(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(record.completeDownloads()[i].name, files[i].first.toUpper().toLatin1());
            QCOMPARE(record.completeDownloads()[i].content, files[i].second);
        }
        QCOMPARE(record.count(Command::Init), 2); // the session, then the reboot wait
        QCOMPARE(record.count(Command::Activate), 1);
        QCOMPARE(record.count(Command::Reboot), 2);
        QCOMPARE(record.frames.last().command, Command::Init);
    }

    // What the operator reads for each failing stage, and the clean-up done.
    void stageFailures_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<bool>("accept"); // the package accepts the terminal's catalogue code
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<int>("reboots");
        QTest::addColumn<int>("lastTotal");

        const QString read = QStringLiteral("initializeTerminal Erreur readWithTimeout");
        Behaviour muteInit;
        muteInit.muted.insert(Command::Init);
        QTest::newRow("initialise")
            << muteInit << true << QStringLiteral("Erreur initialisation")
            << QStringLiteral("Le terminal ne peut pas être initialisé.") + kSupport
            << QStringList{read, read, read, QStringLiteral("initializeTerminal Erreur tentatives")}
            << 0 << 20;
        Behaviour absent;
        absent.receivingApp = false;
        QTest::newRow("receiving application")
            << absent << true << QStringLiteral("Erreur mirandol")
            << QStringLiteral("L'application \"Mirandol\" n'est pas installée sur le terminal.\n")
            << QStringList{QStringLiteral("isVardelOnTerminal Erreur _buff")} << 1 << 30;
        Behaviour hterm;
        hterm.damaged.insert(Command::HTerminal);
        QTest::newRow("hardware read")
            << hterm << true << QStringLiteral("Erreur HTerminal")
            << QStringLiteral("La configuration matérielle du terminal ne peut pas être lue.") +
                   kSupport
            << QStringList{QStringLiteral("getHTerminal Erreur checkCrc")} << 1 << 40;
        QTest::newRow("hardware check")
            << Behaviour() << false << QStringLiteral("Erreur cohérence HTerminal")
            << QStringLiteral("La configuration matérielle du terminal ne correspond pas au "
                              "package à installer.") +
                   kSupport
            << QStringList{QStringLiteral("checkHTerminalCoherency Erreur code catalogue")} << 1
            << 40;
        Behaviour apps;
        apps.damaged.insert(Command::Applications);
        QTest::newRow("application list")
            << apps << true << QStringLiteral("Erreur liste applications")
            << QStringLiteral("La liste des applications ne peut pas être lue.") + kSupport
            // The end record, left unread behind the damaged one, is taken as the reply of
            // the clean-up reboot: nothing clears the input after a failure.
            << QStringList{QStringLiteral("getApplications Erreur checkCrc"),
                           QStringLiteral("rebootTerminal Erreur _buff") + replies::dump(1, 0, 0)}
            << 1 << 50;
        Behaviour info;
        info.refused.insert(Command::Info);
        QTest::newRow("advertisement")
            << info << true << QStringLiteral("Erreur Information")
            << QStringLiteral("Le fichier : APP0.BIN ne peut pas être chargé dans le terminal.") +
                   kSupport
            << QStringList{QStringLiteral("sendInfo Erreur _buff") + replies::dump(2, 1, 0)} << 1
            << 60;
        Behaviour auth;
        auth.refused.insert(Command::Authorization);
        QTest::newRow("authorisation")
            << auth << true << QStringLiteral("Erreur autorisation")
            << QStringLiteral("Le fichier : APP0.BIN n'est pas autorisé sur le terminal.") +
                   kSupport
            << QStringList{QStringLiteral("getAuthorization Erreur _buff") + replies::dump(3, 1, 0)}
            << 1 << 60;
        Behaviour load; // four attempts, four failures
        for (int i = 0; i < 4; ++i)
            load.addBlockFault(0, BlockReply::Stop);
        const QString stop = QStringLiteral("load Erreur ACK_STOP");
        QTest::newRow("download")
            << load << true << QStringLiteral("Erreur chargement")
            << QStringLiteral("Le fichier : APP0.BIN ne peut pas être chargé dans le terminal.") +
                   kSupport
            << QStringList{stop, stop, stop, stop} << 1 << 60;
        Behaviour activate;
        activate.refused.insert(Command::Activate);
        QTest::newRow("activation")
            << activate << true << QStringLiteral("Erreur Activation")
            << QStringLiteral("Au moins un fichier n'a pas pu être installé sur le terminal.") +
                   kSupport
            << QStringList{QStringLiteral("activateApplications Erreur _buff") +
                           replies::dump(5, 1, 0)}
            << 1 << 70;
    }
    void stageFailures()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(bool, accept);
        QFETCH(QString, title);
        QFETCH(QString, message);
        QFETCH(QStringList, log);
        QFETCH(int, reboots);
        QFETCH(int, lastTotal);
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        rig.addBatch(smallFiles(2));
        if (accept)
            rig.acceptTerminal();
        ProgressLog progress(rig.model());
        const Outcome outcome = install(rig);
        QVERIFY(!outcome.ok);
        QCOMPARE(outcome.title, title);
        QCOMPARE(outcome.message, message);
        QCOMPARE(rig.log(), log);
        QVERIFY(!rig.port().isOpen());
        const sim::Record record = rig.record();
        QCOMPARE(record.count(Command::Reboot), reboots);
        if (reboots) // the clean-up reboot is the last thing the terminal hears
            QCOMPARE(record.frames.last().command, Command::Reboot);
        QCOMPARE(values(progress.total()).last(), lastTotal);
        if (title == QLatin1String("Erreur chargement")) { // four attempts from the advertisement
            QCOMPARE(record.count(Command::Info), 4);
            QCOMPARE(record.count(Command::Authorization), 4);
            QCOMPARE(record.count(Command::Load), 4);
        }
        QCOMPARE(record.count(Command::Activate), title == QLatin1String("Erreur Activation"));
    }

    // A port that cannot be opened: nothing is sent, nothing is closed.
    void portUnavailable()
    {
        SimRig rig;
        QVERIFY(rig.ready());
        rig.addBatch(smallFiles(1));
        ProgressLog progress(rig.model());
        const Outcome outcome = install(rig, QStringLiteral("ttyUSB7 - (Absent)"));
        QVERIFY(!outcome.ok);
        QCOMPARE(outcome.title, QStringLiteral("Erreur ouverture"));
        QCOMPARE(outcome.message,
                 QStringLiteral("Le terminal sélectionné n'est pas disponible.\nVeuillez fermer "
                                "toutes les applications et réessayer ou contacter le support."));
        QCOMPARE(progress.total().last(),
                 qMakePair(QStringLiteral("Tentative d'accès au terminal"), 10));
        QCOMPARE(rig.record().frames.size(), 0);
        QCOMPARE(rig.log(), QStringList());
    }

    // Three failed downloads of the first file, then a success: the installation goes on,
    // each attempt from the advertisement on.
    void downloadRetried_data()
    {
        QTest::addColumn<int>("failures");
        QTest::newRow("three failures") << 3;
        QTest::newRow("one failure") << 1;
    }
    void downloadRetried()
    {
        QFETCH(int, failures);
        Behaviour behaviour;
        for (int i = 0; i < failures; ++i)
            behaviour.addBlockFault(0, BlockReply::Stop);
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        rig.addBatch(smallFiles(2));
        rig.acceptTerminal();
        ProgressLog progress(rig.model());
        const Outcome outcome = install(rig);
        QVERIFY(outcome.ok);
        QStringList log;
        for (int i = 0; i < failures; ++i)
            log << QStringLiteral("load Erreur ACK_STOP");
        QCOMPARE(rig.log(), log);
        const sim::Record record = rig.record();
        QCOMPARE(record.count(Command::Info), failures + 2);
        QCOMPARE(record.count(Command::Authorization), failures + 2);
        QCOMPARE(record.count(Command::Load), failures + 2);
        QCOMPARE(record.completeDownloads().size(), 2);
        QCOMPARE(
            values(progress.total(), QStringLiteral("Téléchargement des fichiers en cours (1/2)")),
            QVector<int>(failures + 1, 60).toList());
    }

    // A file too long to advertise is skipped; its share of the progress is still counted.
    void skippedFile()
    {
        SimRig rig;
        QVERIFY(rig.ready());
        const Files files = {{QStringLiteral("a_file_name_far_too_long.bin"), "skipped"},
                             {QStringLiteral("b.bin"), "sent"}};
        rig.addBatch(files);
        rig.acceptTerminal();
        ProgressLog progress(rig.model());
        QVERIFY(install(rig).ok);
        const sim::Record record = rig.record();
        QCOMPARE(record.advertisements.size(), 1);
        QCOMPARE(record.advertisements.first().name, QByteArray("B.BIN"));
        QCOMPARE(record.completeDownloads().size(), 1);
        QCOMPARE(values(progress.total()),
                 (QList<int>{0, 10, 20, 30, 40, 40, 50, 60, 65, 70, 80, 100}));
        QVERIFY(progress.module().contains(
            qMakePair(QStringLiteral("2 fichiers ont été téléchargés"), 100)));
    }

    // The module text of the activation stage, and the count given to the activation.
    void batchSizes_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<QString>("text");
        QTest::newRow("no file") << 0 << QStringLiteral("0 fichier a été téléchargé");
        QTest::newRow("one file") << 1 << QStringLiteral("1 fichier a été téléchargé");
        QTest::newRow("three files") << 3 << QStringLiteral("3 fichiers ont été téléchargés");
    }
    void batchSizes()
    {
        QFETCH(int, files);
        QFETCH(QString, text);
        Model::Timing timing = SimRig::fastTiming();
        timing.perFileActivationMs = 100;
        SimRig rig(Behaviour(), timing);
        QVERIFY(rig.ready());
        rig.addBatch(smallFiles(files));
        rig.acceptTerminal();
        ProgressLog progress(rig.model());
        QElapsedTimer timer;
        timer.start();
        QVERIFY(install(rig).ok);
        QVERIFY(timer.elapsed() >= files * 100); // activateApplications(files)
        QVERIFY(progress.module().contains(qMakePair(text, 100)));
        QCOMPARE(rig.record().completeDownloads().size(), files);
        QCOMPARE(rig.record().count(Command::Activate), 1);
    }

    // Eleven batches: step is 0, so the total bar stays at 0 until the end.
    void elevenBatches()
    {
        SimRig rig;
        QVERIFY(rig.ready());
        for (int i = 0; i < 11; ++i)
            rig.addBatch(i == 5 ? smallFiles(1) : Files());
        rig.acceptTerminal();
        ProgressLog progress(rig.model());
        QVERIFY(install(rig).ok);
        // Start, 8 stages a batch and one for the file of the sixth batch.
        QList<int> expected = QVector<int>(1 + 11 * 8 + 1, 0).toList();
        expected << 100;
        QCOMPARE(values(progress.total()), expected);
        const sim::Record record = rig.record();
        QCOMPARE(record.count(Command::Activate), 11);
        QCOMPARE(record.count(Command::Init), 22);
        QCOMPARE(record.completeDownloads().size(), 1);
    }

    // The reboot wait lasts max(delayReboot, the minimum) when the terminal stays deaf, in
    // steps (shortened here to 50 ms of a 300 ms minimum).
    void rebootWaitLength_data()
    {
        QTest::addColumn<int>("delayReboot");
        QTest::addColumn<QList<int>>("steps");
        const QList<int> minimum{16, 33, 50, 66, 83, 100};
        QTest::newRow("no delay") << 0 << minimum;
        QTest::newRow("shorter than the minimum") << 200 << minimum;
        QTest::newRow("longer") << 500 << QList<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
    }
    void rebootWaitLength()
    {
        QFETCH(int, delayReboot);
        QFETCH(QList<int>, steps);
        Behaviour behaviour;
        behaviour.rebootSilenceMs = 60000;
        Model::Timing timing = SimRig::fastTiming();
        timing.replyTimeoutMs = 100;
        SimRig rig(behaviour, timing);
        QVERIFY(rig.ready());
        rig.addBatch(Files());
        rig.acceptTerminal();
        rig.model().getConfiguration()->terminal->delayReboot = delayReboot;
        ProgressLog progress(rig.model());
        QVERIFY(install(rig).ok); // a terminal that never comes back does not fail the run
        QList<int> expected{0};   // "Veuillez patienter ..." of the reboot stage
        expected << steps;
        QCOMPARE(values(progress.module(), kWait).mid(1), expected);
        // One initialisation attempt per step, none answered; the second reboot neither.
        QStringList log{QStringLiteral("rebootTerminal Erreur readWithTimeout")};
        for (int i = 0; i < steps.size(); ++i)
            log << QStringLiteral("initializeTerminal Erreur readWithTimeout");
        QCOMPARE(rig.log(), log);
        QCOMPARE(rig.record().count(Command::Init), 1 + steps.size());
        QVERIFY(!rig.port().isOpen());
    }

    // The wait ends as soon as the terminal answers the initialisation.
    void rebootWaitEndsEarly()
    {
        Behaviour behaviour;
        behaviour.rebootSilenceMs = 500;
        Model::Timing timing = SimRig::fastTiming();
        timing.replyTimeoutMs = 100;
        timing.rebootWaitMinMs = 5000;
        SimRig rig(behaviour, timing);
        QVERIFY(rig.ready());
        rig.addBatch(Files());
        rig.acceptTerminal();
        ProgressLog progress(rig.model());
        QElapsedTimer timer;
        timer.start();
        QVERIFY(install(rig).ok);
        QVERIFY(timer.elapsed() < 4000);
        const QList<int> steps = values(progress.module(), kWait);
        QCOMPARE(steps.last(), 100);
        QVERIFY(steps[steps.size() - 2] < 20); // jumped to 100 when the terminal answered
        const sim::Record record = rig.record();
        QVERIFY(record.frames.last().answered);
        QCOMPARE(record.frames.last().command, Command::Init);
    }

    // As the window runs it: on a pool thread, which opens and closes the port itself.
    void onWorkerThread()
    {
        SimRig rig;
        QVERIFY(rig.ready());
        rig.addBatch(smallFiles(2));
        rig.acceptTerminal();
        ProgressLog progress(rig.model());
        const Outcome outcome = QtConcurrent::run([&rig] { return install(rig); }).result();
        QVERIFY(outcome.ok);
        QCOMPARE(values(progress.total()).last(), 100);
        QCOMPARE(rig.record().completeDownloads().size(), 2);
        QVERIFY(!rig.port().isOpen());
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
