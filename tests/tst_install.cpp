// The installation scenario against the simulated terminal.
#include "config/configuration.h"
#include "replies.h"
#include "simrig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>

using sim::Command;
using Files = QList<QPair<QString, QByteArray>>;

namespace {

const QString kDone = "Installation réalisée avec succès"_q;
const QString kUpdated = "Le terminal a été correctement mis à jour."_q;

Files smallFiles(int count)
{
    Files files;
    for (int i = 0; i < count; ++i)
        files.append({"app%1.bin"_q.arg(i), randomBytes(50 + i, quint32(i))});
    return files;
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        rig.reset();
        total.clear();
        module.clear();
        timing = SimRig::fastTiming();
        cancelAt.clear();
        rebootClock.invalidate();
    }

    // One batch of four files, from connection to the terminal's return, over a real line: 9600
    // baud both ways, replies in pieces of 16 bytes, 30 ms of work on each frame. The second
    // file's name is too long to advertise: it is skipped, neither authorised nor downloaded,
    // but counted, and the log says it was never sent.
    void success()
    {
        Files files = smallFiles(4);
        files[1].first = "a_file_name_far_too_long.bin"_q;
        QVERIFY(install({files}, "--pace-9600 --piece 16 --work 30"_q) && ok);
        QCOMPARE(title + " | "_q + message, kDone + " | "_q + kUpdated);
        QCOMPARE(rig->log(), QStringList{"Fichier non envoyé, son nom ne peut pas être annoncé au "
                                         "terminal : "_q +
                                         QDir::current().filePath(files[1].first)});
        // The stages' texts are in tst_station's logs; the values and file counts are here.
        QStringList values;
        for (const QString &step : total)
            values << step.section(QLatin1Char(' '), -1);
        QCOMPARE(values.join(QLatin1Char(' ')), "0 10 20 30 40 40 50 60 62 64 66 68 78 100"_q);
        QVERIFY(total.contains("Téléchargement des fichiers en cours (2/4) 62"_q));
        // The terminal answers at the first step of the reboot wait (50 of 300 ms): the bar
        // jumps to 100 and the wait ends.
        QCOMPARE(module.join(QLatin1Char('|')),
                 "Veuillez patienter ... 0|Téléchargement du fichier : APP0.BIN 0|Téléchargement "
                 "du fichier : APP0.BIN 100|Téléchargement du fichier : APP2.BIN 0|Téléchargement "
                 "du fichier : APP2.BIN 100|Téléchargement du fichier : APP3.BIN 0|Téléchargement "
                 "du fichier : APP3.BIN 100|4 fichiers ont été téléchargés 100|Veuillez patienter "
                 "... 0|Veuillez patienter ... 16|Veuillez patienter ... 100"_q);
        QCOMPARE(heard(), (QList<int>{2, 3, 3, 3, 1})); // the skipped file is never advertised
        QVERIFY(record.anomalies.isEmpty());
        QList<QByteArray> received;
        for (const sim::Download &download : record.completeDownloads())
            received << download.content;
        QCOMPARE(received, (QList<QByteArray>{files[0].second, files[2].second, files[3].second}));
        QCOMPARE(record.count(Command::Init), 2); // the session, then the reboot wait
        QCOMPARE(record.frames.last().command, Command::Init);
    }

    // What the operator reads when a stage fails, and what the terminal heard: reboots,
    // advertisements, authorisations, downloads and activations.
    void outcomes_data()
    {
        QTest::addColumn<QString>("options"); // of vardel-sim
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QList<int>>("heard");   // reboot, info, authorisation, load, activate
        QTest::addColumn<QStringList>("logged"); // the lines of download failures in the log
        const auto row = [](const char *name, const QString &options, const QString &title,
                            const QString &message, const QList<int> &heard,
                            const QStringList &logged = {}) {
            QTest::newRow(name) << options << title << message << heard << logged;
        };
        const QString support = "\nVeuillez réessayer ou contacter le support."_q;
        const QString notLoaded =
            "Le fichier : APP0.BIN ne peut pas être chargé dans le terminal."_q + support;
        const QString stop = "--stop-block 0 --stop-block 0 --stop-block 0"_q;
        const QString nokCap = "load Erreur ACK_NOK : bloc 0 refusé après 16 renvois"_q;
        row("no batch", "empty"_q, "Erreur fichier de configuration"_q,
            "Le fichier de configuration ne contient pas de scénario"_q, {0, 0, 0, 0, 0});
        row("port unavailable", "absent"_q, "Erreur ouverture"_q,
            "Le terminal sélectionné n'est pas disponible.\nVeuillez fermer toutes les "
            "applications et réessayer ou contacter le support."_q,
            {0, 0, 0, 0, 0});
        row("initialise", "--mute init"_q, "Erreur initialisation"_q,
            "Le terminal ne peut pas être initialisé."_q + support, {0, 0, 0, 0, 0});
        row("receiving application", "--refuse-app"_q, "Erreur mirandol"_q,
            "L'application \"Mirandol\" n'est pas installée sur le terminal.\n"_q, {1, 0, 0, 0, 0});
        row("hardware read", "--damage hterm"_q, "Erreur HTerminal"_q,
            "La configuration matérielle du terminal ne peut pas être lue."_q + support,
            {1, 0, 0, 0, 0});
        row("hardware check", "refused"_q, "Erreur cohérence HTerminal"_q,
            "La configuration matérielle du terminal ne correspond pas au package à installer."_q +
                support,
            {1, 0, 0, 0, 0});
        row("application list", "--damage apps"_q, "Erreur liste applications"_q,
            "La liste des applications ne peut pas être lue."_q + support, {1, 0, 0, 0, 0});
        row("advertisement", "--refuse info"_q, "Erreur Information"_q, notLoaded, {1, 1, 0, 0, 0});
        row("authorisation", "--refuse auth"_q, "Erreur autorisation"_q,
            "Le fichier : APP0.BIN n'est pas autorisé sur le terminal."_q + support,
            {1, 1, 1, 0, 0});
        // Each attempt from the advertisement on; the fourth failure ends the installation
        // (ACK_NOK forever below, ACK_STOP in tst_station).
        row("download fails three times", stop, kDone, kUpdated, {2, 5, 5, 5, 1},
            QVector<QString>(3, "load Erreur ACK_STOP"_q).toList());
        // A block acknowledged after the read gave up: that attempt fails, and its late reply
        // does not answer the next advertisement.
        row("block answered late", "--late-block 0"_q, kDone, kUpdated, {2, 3, 3, 3, 1},
            {"load Erreur read"_q});
        row("ACK_NOK forever", "--nok-forever"_q, "Erreur chargement"_q, notLoaded, {1, 4, 4, 4, 0},
            QVector<QString>(4, nokCap).toList());
        row("activation", "--refuse activate"_q, "Erreur Activation"_q,
            "Au moins un fichier n'a pas pu être installé sur le terminal."_q + support,
            {1, 2, 2, 2, 1});
    }
    void outcomes()
    {
        QFETCH(QString, options);
        QFETCH(QList<int>, heard);
        QFETCH(QStringList, logged);
        const bool absent = options == "absent"_q;   // a port that cannot be opened
        const bool refused = options == "refused"_q; // a package for another terminal
        const bool empty = options == "empty"_q;     // a configuration without a batch
        QVERIFY(install(empty ? QList<Files>() : QList<Files>{smallFiles(2)},
                        options.startsWith("--"_q) ? options : QString(),
                        absent ? "ttyUSB7 - (Absent)"_q : QString(), !refused));
        QVERIFY(!rig->port().isOpen());
        QCOMPARE(ok, title == kDone);
        QTEST(title, "title");
        QTEST(message, "message");
        // The terminal may not have read the last frame yet: after a damaged application list
        // the clean-up reboot takes the record left unread for its reply and returns at once.
        QTRY_COMPARE(this->heard(), heard);
        if (!ok && heard[0] > 0) // the clean-up reboot is the last thing the terminal hears
            QCOMPARE(record.frames.last().command, Command::Reboot);
        QCOMPARE(record.frames.isEmpty(), absent || empty); // nothing sent without a port
        // An empty configuration shows no progress; its message is the only one the log gets.
        QCOMPARE(total.isEmpty() && rig->log().contains(message), empty);
        QCOMPARE(rig->log().filter(QRegularExpression("^load Erreur"_q)), logged);
    }

    // A terminal that never comes back from its reboot: the wait lasts max(delayReboot, the
    // minimum) on the clock, although each try costs a whole read time-out (here twice a step),
    // and it is no failure, but the log says so.
    void rebootWait_data()
    {
        QTest::addColumn<int>("delay");
        QTest::addColumn<int>("wait");
        QTest::newRow("shorter than the minimum") << 700 << 1000;
        QTest::newRow("longer") << 1500 << 1500;
    }
    void rebootWait()
    {
        QFETCH(int, delay);
        QFETCH(int, wait);
        timing.rebootWaitMinMs = 1000;
        timing.rebootStepMs = 100;
        timing.replyTimeoutMs = 200;
        QVERIFY(install({Files()}, "--reboot-silence 60000"_q, QString(), true, delay));
        const qint64 waited = rebootClock.elapsed();
        QVERIFY(ok && !rig->port().isOpen());
        QCOMPARE(module.value(1), "0 fichier a été téléchargé 100"_q); // the batch is empty
        QVector<int> steps; // the module bar after the reboot stage's 0
        for (const QString &step : module.mid(3))
            steps << step.section(QLatin1Char(' '), -1).toInt();
        QVERIFY2(std::is_sorted(steps.begin(), steps.end()) && steps.size() >= 3 &&
                     steps.last() == 100,
                 qPrintable(module.join(QLatin1Char('|'))));
        // Tried again and again, never answered: a try costs a whole read time-out, and the
        // next one starts at the following step (or at once when the try ran past it).
        const int tries = record.count(Command::Init) - 1;
        QVERIFY2(tries >= wait / (timing.replyTimeoutMs + timing.rebootStepMs),
                 qPrintable(QString::number(tries)));
        QVERIFY2(waited >= wait && waited < 2 * wait, qPrintable(QString::number(waited)));
        QCOMPARE(
            rig->log().last(),
            "Le terminal n'a pas répondu après son redémarrage (attente de %1 ms)"_q.arg(wait));
    }

    // A cancel request stops the installation at the next safe point before the activation:
    // the port is closed, nothing is activated and no reboot is sent. Once the activation has
    // begun, the batch is finished.
    void cancelled_data()
    {
        QTest::addColumn<QString>("at");       // the progress step ("TEXT VALUE") that asks for it
        QTest::addColumn<QList<int>>("heard"); // reboot, info, authorisation, load, activate
        QTest::addColumn<int>("complete");     // downloads
        const auto row = [](const char *name, const QString &at, const QList<int> &heard,
                            int complete) { QTest::newRow(name) << at << heard << complete; };
        row("opening the port", "Tentative d'accès au terminal 10"_q, {0, 0, 0, 0, 0}, 0);
        row("session", "Récupération de la configuration matérielle du terminal 40"_q,
            {0, 0, 0, 0, 0}, 0);
        row("after a block", "Téléchargement du fichier : APP0.BIN 24"_q, {0, 1, 1, 1, 0}, 0);
        row("between files", "Téléchargement du fichier : APP0.BIN 100"_q, {0, 1, 1, 1, 0}, 1);
        row("activation", "Installation des applications sur le terminal en cours 70"_q,
            {2, 2, 2, 2, 1}, 2);
    }
    void cancelled()
    {
        QFETCH(QString, at);
        QFETCH(QList<int>, heard);
        QFETCH(int, complete);
        cancelAt = at;
        Files files = smallFiles(2);
        files[0].second = randomBytes(500, 7); // five blocks
        QVERIFY(install({files}));
        QVERIFY(!rig->port().isOpen());
        const bool finished = heard.last() == 1;
        QCOMPARE(ok, finished);
        QCOMPARE(title, finished ? kDone : "Installation interrompue"_q);
        QCOMPARE(this->heard(), heard);
        QCOMPARE(record.completeDownloads().size(), complete);
        QCOMPARE(rig->log().contains("Installation interrompue avant l'activation des fichiers"_q),
                 !finished);
    }

private:
    // What the terminal heard, as it is now: reboots, advertisements, authorisations,
    // downloads and activations.
    QList<int> heard()
    {
        record = rig->record();
        return {record.count(Command::Reboot), record.count(Command::Info),
                record.count(Command::Authorization), record.count(Command::Load),
                record.count(Command::Activate)};
    }

    // Installs these batches on a terminal set up by vardel-sim's options, through `label`
    // (empty: the terminal's port); false when the rig could not be set up.
    bool install(const QList<Files> &batches, const QString &options = QString(),
                 const QString &label = QString(), bool accept = true, int delayReboot = 0)
    {
        rig = std::make_unique<SimRig>(behaviourOf(options), timing);
        if (!rig->ready())
            return false;
        for (const Files &files : batches)
            rig->addBatch(files);
        if (accept) // the package accepts the terminal's hardware
            rig->acceptTerminal();
        Model &model = rig->model();
        model.getConfiguration()->terminal->delayReboot = delayReboot;
        const auto keep = [this, &model](QStringList &steps) { // "TEXT VALUE"
            return [this, &model, &steps](const QString &text, int value) {
                steps << text + QLatin1Char(' ') + QString::number(value);
                if (steps.last() == cancelAt)
                    model.requestCancel();
                if (text.startsWith("Redémarrage"_q))
                    rebootClock.start();
            };
        };
        connect(&model, &Model::setTotalProgression, this, keep(total));
        connect(&model, &Model::setModuleProgression, this, keep(module));
        ok = model.install(label.isEmpty() ? rig->label() : label, title, message);
        record = rig->record();
        return true;
    }

    Model::Timing timing = SimRig::fastTiming(); // set before install(), reset after each test
    QString cancelAt;          // the progress step at which install() asks the Model to stop
    QElapsedTimer rebootClock; // started when the reboot stage shows
    // What install() leaves.
    std::unique_ptr<SimRig> rig;
    bool ok = false;
    QString title;
    QString message;
    QStringList total;
    QStringList module;
    sim::Record record;
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
