// The installation scenario against the simulated terminal.
#include "config/configuration.h"
#include "packagefixture.h"
#include "replies.h"
#include "sealing.h"
#include "simrig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using sim::Command;
using Files = QList<QPair<QString, QByteArray>>;

namespace {

const QString kDone = "Installation réalisée avec succès"_q;
const QString kUpdated = "Le terminal a été correctement mis à jour."_q;
const QString kNoAnswerLine = "Cause de l'échec : le terminal ne répond plus, aucune réponse "
                              "n'est arrivée à la dernière demande"_q;
const QString kNoAnswerAdvice = "Le terminal ne répond plus : vérifiez le câble qui le relie au "
                                "PC, puis appuyez de nouveau sur « Démarrer la mise à jour »."_q;

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
        stages.clear();
        percents.clear();
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
        // The same steps as values: every stage and file in turn, and the module bar's values.
        QStringList expected{"starting 0/1 0/0"_q};
        for (const char *stage : {"opening", "initialisation", "receiving-application",
                                  "hardware-read", "hardware-check", "application-list"})
            expected << QString::fromLatin1(stage) + " 1/1 0/0"_q;
        for (int i = 0; i < 4; ++i) {
            const QString file = " 1/1 %1/4 %2"_q.arg(i + 1).arg(
                i == 1 ? "A_FILE_NAME_FAR_TOO_LONG.BIN"_q : "APP%1.BIN"_q.arg(i));
            expected << "advertisement"_q + file;
            if (i != 1)
                expected << "authorisation"_q + file << "download"_q + file;
        }
        expected << "activation 1/1 0/0"_q
                 << "reboot 1/1 0/0"_q
                 << "reboot-wait 1/1 0/0"_q
                 << "finished 1/1 0/0"_q;
        QCOMPARE(stages, expected);
        QList<int> bar;
        for (const QString &step : module)
            bar << step.section(QLatin1Char(' '), -1).toInt();
        percents.removeAll(-1); // a stage's start, before its first module value
        QCOMPARE(percents, bar);
        QCOMPARE(end(), "updated finished"_q);
        QVERIFY(result.rebootAcknowledged() && result.returned() && result.activated.size() == 1);
        QCOMPARE(heard(), (QList<int>{2, 3, 3, 3, 1})); // the skipped file is never advertised
        QVERIFY(record.anomalies.isEmpty());
        QList<QByteArray> received;
        for (const sim::Download &download : record.completeDownloads())
            received << download.content;
        QCOMPARE(received, (QList<QByteArray>{files[0].second, files[2].second, files[3].second}));
        QCOMPARE(record.count(Command::Init), 2); // the session, then the reboot wait
        QCOMPARE(record.frames.last().command, Command::Init);
    }

    // What the operator reads when a stage fails, how the result says it (outcome, stage,
    // cause), and what the terminal heard: reboots, advertisements, authorisations, downloads
    // and activations. A terminal that answers no is told apart from one that answers nothing.
    void outcomes_data()
    {
        QTest::addColumn<QString>("options"); // of vardel-sim
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("end");        // outcome, stage and cause keys
        QTest::addColumn<QList<int>>("heard");   // reboot, info, authorisation, load, activate
        QTest::addColumn<QStringList>("logged"); // the lines of download failures in the log
        const auto row = [](const char *name, const QString &options, const QString &title,
                            const QString &message, const QString &end, const QList<int> &heard,
                            const QStringList &logged = {}) {
            QTest::newRow(name) << options << title << message << end << heard << logged;
        };
        const QString support = "\nVeuillez réessayer ou contacter le support."_q;
        const QString notLoaded =
            "Le fichier : APP0.BIN ne peut pas être chargé dans le terminal."_q + support;
        const QString mirandol =
            "L'application \"Mirandol\" n'est pas installée sur le terminal.\n"_q;
        const QString notAuthorised =
            "Le fichier : APP0.BIN n'est pas autorisé sur le terminal."_q + support;
        const QString stop = "--stop-block 0 --stop-block 0 --stop-block 0"_q;
        const QString nokCap = "load Erreur ACK_NOK : bloc 0 refusé après 16 renvois"_q;
        const QString unconfirmed =
            "Les fichiers ont été installés, mais le terminal n'a pas redémarré comme prévu : il "
            "n'a pas confirmé son redémarrage.\nVérifiez le terminal avant de le remettre en "
            "service."_q;
        row("no batch", "empty"_q, "Erreur fichier de configuration"_q,
            "Le fichier de configuration ne contient pas de scénario"_q,
            "failed starting package"_q, {0, 0, 0, 0, 0});
        row("port unavailable", "absent"_q, "Erreur ouverture"_q,
            "Le terminal sélectionné n'est pas disponible.\nVeuillez fermer toutes les "
            "applications et réessayer ou contacter le support."_q,
            "failed opening port-unavailable"_q, {0, 0, 0, 0, 0});
        row("initialise", "--mute init"_q, "Erreur initialisation"_q,
            "Le terminal ne peut pas être initialisé."_q + support,
            "failed initialisation no-answer"_q, {0, 0, 0, 0, 0});
        row("receiving application", "--refuse-app"_q, "Erreur mirandol"_q, mirandol,
            "failed receiving-application refused"_q, {1, 0, 0, 0, 0});
        row("receiving application silent", "--mute query"_q, "Erreur mirandol"_q, mirandol,
            "failed receiving-application no-answer"_q, {1, 0, 0, 0, 0});
        row("hardware read", "--damage hterm"_q, "Erreur HTerminal"_q,
            "La configuration matérielle du terminal ne peut pas être lue."_q + support,
            "failed hardware-read bad-reply"_q, {1, 0, 0, 0, 0});
        row("hardware check", "refused"_q, "Erreur cohérence HTerminal"_q,
            "La configuration matérielle du terminal ne correspond pas au package à installer."_q +
                support,
            "failed hardware-check hardware-mismatch"_q, {1, 0, 0, 0, 0});
        row("application list", "--damage apps"_q, "Erreur liste applications"_q,
            "La liste des applications ne peut pas être lue."_q + support,
            "failed application-list bad-reply"_q, {1, 0, 0, 0, 0});
        row("advertisement", "--refuse info"_q, "Erreur Information"_q, notLoaded,
            "failed advertisement refused"_q, {1, 1, 0, 0, 0});
        row("authorisation", "--refuse auth"_q, "Erreur autorisation"_q, notAuthorised,
            "failed authorisation refused"_q, {1, 1, 1, 0, 0});
        // The clean-up reboot that follows a failure does not change its cause.
        row("authorisation refused, no reboot", "--refuse auth --mute reboot"_q,
            "Erreur autorisation"_q, notAuthorised, "failed authorisation refused"_q,
            {1, 1, 1, 0, 0});
        row("authorisation not accepted", "--unaccept auth"_q, "Erreur autorisation"_q,
            notAuthorised, "failed authorisation refused"_q, {1, 1, 1, 0, 0});
        row("authorisation damaged", "--damage auth"_q, "Erreur autorisation"_q, notAuthorised,
            "failed authorisation bad-reply"_q, {1, 1, 1, 0, 0});
        row("authorisation silent", "--mute auth"_q, "Erreur autorisation"_q, notAuthorised,
            "failed authorisation no-answer"_q, {1, 1, 1, 0, 0});
        // Each attempt from the advertisement on; the fourth failure ends the installation
        // (ACK_NOK forever below, ACK_STOP in tst_station).
        row("download fails three times", stop, kDone, kUpdated, "updated finished"_q,
            {2, 5, 5, 5, 1}, QVector<QString>(3, "load Erreur ACK_STOP"_q).toList());
        // A block acknowledged after the read gave up: that attempt fails, and its late reply
        // does not answer the next advertisement.
        row("block answered late", "--late-block 0"_q, kDone, kUpdated, "updated finished"_q,
            {2, 3, 3, 3, 1}, {"load Erreur read"_q});
        row("ACK_NOK forever", "--nok-forever"_q, "Erreur chargement"_q, notLoaded,
            "failed download refused"_q, {1, 4, 4, 4, 0}, QVector<QString>(4, nokCap).toList());
        row("activation", "--refuse activate"_q, "Erreur Activation"_q,
            "Au moins un fichier n'a pas pu être installé sur le terminal."_q + support,
            "failed activation refused"_q, {1, 2, 2, 2, 1});
        // Activated, but the restart is not confirmed: the terminal, which never restarted,
        // answers at once in the reboot wait.
        const QString installed = "Terminal installé, à vérifier"_q;
        const QString unverified = "installed-unverified finished"_q;
        row("reboot refused", "--refuse reboot"_q, installed, unconfirmed, unverified,
            {2, 2, 2, 2, 1});
        row("reboot damaged", "--damage reboot"_q, installed, unconfirmed, unverified,
            {2, 2, 2, 2, 1});
        row("reboot silent", "--mute reboot"_q, installed, unconfirmed, unverified,
            {2, 2, 2, 2, 1});
    }
    void outcomes()
    {
        QFETCH(QString, options);
        QFETCH(QString, end);
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
        QCOMPARE(this->end(), end);
        const bool failed = result.outcome == InstallOutcome::Failed;
        QCOMPARE(result.activated.size(), failed ? 0 : 1);
        QCOMPARE(result.rebootAcknowledged(), ok);
        // The terminal may not have read the last frame yet: after a damaged application list
        // the clean-up reboot takes the record left unread for its reply and returns at once.
        QTRY_COMPARE(this->heard(), heard);
        if (failed && heard[0] > 0) // the clean-up reboot is the last thing the terminal hears
            QCOMPARE(record.frames.last().command, Command::Reboot);
        QCOMPARE(record.frames.isEmpty(), absent || empty); // nothing sent without a port
        // An empty configuration shows no progress; its message is the only one the log gets.
        QCOMPARE(total.isEmpty() && rig->log().contains(message), empty);
        QCOMPARE(rig->log().filter(QRegularExpression("^load Erreur"_q)), logged);

        // The end's log entries: the result line, then the cause when one is known.
        const QString mark = ok ? "[succès]"_q : failed ? "[échec]"_q : "[à vérifier]"_q;
        QStringList entries{title + " - "_q + message + " - "_q + mark};
        const bool silent = result.cause == FailureCause::NoAnswer;
        if (silent)
            entries << kNoAnswerLine;
        else if (absent) // the port's own cause
            entries << "Cause de l'échec d'ouverture : /dev/ttyUSB7 n'existe plus, le terminal "
                       "a été débranché"_q;
        QCOMPARE(result.advice.isEmpty(), !silent && !absent);
        rig->model().logResult(result);
        // Then, unless the terminal was updated, where its report went.
        QCOMPARE(result.reportFile.isEmpty(), ok);
        if (!ok)
            entries << reportLine();
        if (silent)
            QCOMPARE(result.boxText(), message + "\n"_q + kNoAnswerAdvice + reportSentence());
        QCOMPARE(rig->log().mid(rig->log().size() - entries.size()), entries);
    }

    // A package read from its folder, with the digests of its files or without (signed by an
    // older vardel-pack), is read and checked once: it installs although every file is
    // changed or removed after the check, and the terminal receives what was checked. Without
    // digests, the log says so first.
    void packageFromFolder_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QStringList>("logged");
        QTest::newRow("digests") << fixture::signXml(fixture::unsignedXml()) << QStringList();
        QTest::newRow("no digests")
            << fixture::signWithoutDigests(fixture::unsignedXml())
            << QStringList{"Les fichiers de ce package ne sont pas liés à sa signature (aucun "
                           "attribut sha256) : leur contenu est installé sans être contrôlé"_q};
    }
    void packageFromFolder()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QStringList, logged);
        QTemporaryDir folder;
        const QString dir = folder.path() + QLatin1Char('/');
        QVERIFY(fixture::writeFiles(dir) && fixture::write(dir + "configuration.xml"_q, xml));
        rig = std::make_unique<SimRig>(behaviourOf("--catalogue 123456"_q));
        QVERIFY(rig->ready());
        Model &model = rig->model();
        bool loaded = false;
        connect(&model, &Model::configurationLoaded, this, [&loaded] { loaded = true; });
        model.setConfigurationDirectory(dir);
        model.loadConfiguration();
        QVERIFY(loaded);
        QCOMPARE(rig->log(), logged);
        QVERIFY(fixture::write(dir + "app.bin"_q, sealing::seal("other")) &&
                QFile::remove(dir + "hterm.bin"_q) && QFile::remove(dir + "terminal.png"_q));
        result = model.install(rig->label());
        QVERIFY2(result.success(), qPrintable(result.message));
        const QList<sim::Download> received = rig->record().completeDownloads();
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().content, QByteArray(300, 'a'));
        QCOMPARE(rig->log(), logged);
    }

    // A terminal that never comes back from its reboot: the wait lasts max(delayReboot, the
    // minimum) on the clock, although each try costs a whole read time-out (here twice a step).
    // The wait is no failure, but the terminal is not called updated, and the log says why.
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
        QVERIFY(!rig->port().isOpen());
        QCOMPARE(end(), "installed-unverified finished"_q);
        QVERIFY(result.rebootAcknowledged() && !result.returned());
        QCOMPARE(result.rebootWaitMs, qint64(wait));
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
    // begun, the batch is finished; a later batch is not begun, and the result says which
    // batches were activated.
    void cancelled_data()
    {
        QTest::addColumn<int>("batches");      // each of the same two files
        QTest::addColumn<QString>("at");       // the progress step ("TEXT VALUE") that asks for it
        QTest::addColumn<QList<int>>("heard"); // reboot, info, authorisation, load, activate
        QTest::addColumn<int>("complete");     // downloads
        QTest::addColumn<QString>("end");      // outcome and stage keys
        QTest::addColumn<QString>("logged");   // the interruption's line; empty: finished
        const auto row = [](const char *name, int batches, const QString &at,
                            const QList<int> &heard, int complete, const QString &end,
                            const QString &logged) {
            QTest::newRow(name) << batches << at << heard << complete << end << logged;
        };
        const QString before = "Installation interrompue avant l'activation des fichiers"_q;
        row("opening the port", 1, "Tentative d'accès au terminal 10"_q, {0, 0, 0, 0, 0}, 0,
            "interrupted opening"_q, before);
        row("session", 1, "Récupération de la configuration matérielle du terminal 40"_q,
            {0, 0, 0, 0, 0}, 0, "interrupted hardware-read"_q, before);
        row("after a block", 1, "Téléchargement du fichier : APP0.BIN 24"_q, {0, 1, 1, 1, 0}, 0,
            "interrupted download"_q, before);
        row("between files", 1, "Téléchargement du fichier : APP0.BIN 100"_q, {0, 1, 1, 1, 0}, 1,
            "interrupted download"_q, before);
        row("activation", 1, "Installation des applications sur le terminal en cours 70"_q,
            {2, 2, 2, 2, 1}, 2, "updated finished"_q, QString());
        // The first step of the reboot wait (50 of 300 ms) comes only there.
        row("first batch's reboot wait", 2, "Veuillez patienter ... 16"_q, {2, 2, 2, 2, 1}, 2,
            "interrupted reboot-wait"_q,
            "Installation interrompue après l'activation des fichiers du lot 1, sur 2 lots"_q);
    }
    void cancelled()
    {
        QFETCH(int, batches);
        QFETCH(QString, at);
        QFETCH(QList<int>, heard);
        QFETCH(int, complete);
        QFETCH(QString, logged);
        cancelAt = at;
        Files files = smallFiles(2);
        files[0].second = randomBytes(500, 7); // five blocks
        QVERIFY(install(QVector<Files>(batches, files).toList()));
        QVERIFY(!rig->port().isOpen());
        const bool finished = logged.isEmpty();
        QTEST(end(), "end");
        QCOMPARE(title, finished ? kDone : "Installation interrompue"_q);
        QCOMPARE(this->heard(), heard);
        QCOMPARE(record.completeDownloads().size(), complete);
        QCOMPARE(result.activated.size(), heard.last());
        QCOMPARE(rig->log().filter("Installation interrompue"_q),
                 finished ? QStringList() : QStringList{logged});
        if (result.activated.size() == 1 && !finished)
            QCOMPARE(message, "L'installation a été interrompue après l'activation des fichiers "
                              "du lot 1, avant celle des lots suivants (2 lots en tout).\n"
                              "Veuillez relancer la mise à jour du terminal."_q);
    }

    // The line cut at each frame of a whole installation in turn: from that frame on the
    // terminal answers nothing. The result is never a success, a failure is never told as a
    // refusal without saying that the terminal stopped answering, and a terminal cut after its
    // activation ends installed but to check.
    void cutLine_data()
    {
        QTest::addColumn<int>("cut");
        QTest::addColumn<QString>("stage"); // where the installation ends
        timing = sweepTiming();
        QVERIFY(install({sweepFiles()}) && ok);
        const QList<sim::Frame> frames = record.frames;
        rig.reset();
        const QMap<Command, QString> stageOf{
            {Command::Init, "initialisation"_q},     {Command::Query, "receiving-application"_q},
            {Command::HTerminal, "hardware-read"_q}, {Command::Applications, "application-list"_q},
            {Command::Info, "advertisement"_q},      {Command::Authorization, "authorisation"_q},
            {Command::Load, "advertisement"_q}, // a download is tried again from its advertisement
            {Command::Data, "advertisement"_q},      {Command::Activate, "activation"_q},
            {Command::Reboot, "finished"_q}};
        bool activated = false;
        for (int k = 0; k < frames.size(); ++k) {
            const Command command = frames[k].command;
            activated = activated || command == Command::Activate;
            // The initialisation after the activation is the reboot wait's.
            const QString stage =
                activated && command == Command::Init ? "finished"_q : stageOf.value(command);
            QTest::newRow(qPrintable("frame %1 (%2)"_q.arg(k).arg(sim::commandName(command))))
                << k << stage;
        }
        QCOMPARE(frames.size(),
                 16); // the session, 2 x 4 for the files, activation, 2 reboots, 1 try
    }
    void cutLine()
    {
        QFETCH(int, cut);
        QFETCH(QString, stage);
        timing = sweepTiming();
        QVERIFY(install({sweepFiles()}, "--cut-at %1"_q.arg(cut)));
        QVERIFY(!rig->port().isOpen());
        QCOMPARE(stageKey(result.stage), stage);
        if (result.activated.isEmpty()) {
            QCOMPARE(end(), "failed "_q + stage + " no-answer"_q);
            rig->model().logResult(result);
            QCOMPARE(result.boxText(), message + "\n"_q + kNoAnswerAdvice + reportSentence());
            QCOMPARE(rig->log().mid(rig->log().size() - 3),
                     (QStringList{title + " - "_q + message + " - [échec]"_q, kNoAnswerLine,
                                  reportLine()}));
            return;
        }
        // Cut at the first reboot frame, the terminal confirmed neither; at the second, it had
        // confirmed the first. Either way it never came back.
        const auto reboot =
            std::find_if(record.frames.begin(), record.frames.end(),
                         [](const sim::Frame &f) { return f.command == Command::Reboot; });
        const int firstReboot = int(reboot - record.frames.begin());
        QCOMPARE(end(), "installed-unverified finished"_q);
        QCOMPARE(result.rebootAcknowledged(), cut > firstReboot);
        QVERIFY(!result.returned() && result.advice.isEmpty());
        QCOMPARE(title, "Terminal installé, à vérifier"_q);
    }

private:
    static Model::Timing sweepTiming()
    {
        Model::Timing t = SimRig::fastTiming();
        t.exactReadTimeoutMs = t.settleMs = 300; // a dead terminal costs little
        return t;
    }
    // Two files of one block each.
    static Files sweepFiles() { return smallFiles(2); }

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
        rig->package().terminal->delayReboot = delayReboot;
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
        connect(&model, &Model::progressReported, this, [this](const InstallProgress &p) {
            // One entry per stage and file: "download 1/1 2/4 APP2.BIN".
            const QString entry = "%1 %2/%3 %4/%5 %6"_q.arg(stageKey(p.stage))
                                      .arg(p.batch)
                                      .arg(p.batchCount)
                                      .arg(p.file)
                                      .arg(p.fileCount)
                                      .arg(p.fileName)
                                      .trimmed();
            if (stages.isEmpty() || stages.last() != entry)
                stages << entry;
            percents << p.percent;
        });
        result = model.install(label.isEmpty() ? rig->label() : label);
        ok = result.success();
        title = result.title;
        message = result.message;
        record = rig->record();
        return true;
    }

    // The log entry, and the box's sentence, that name the report logResult wrote.
    QString reportLine() const
    {
        return "Rapport de diagnostic enregistré : "_q + QDir::toNativeSeparators(result.reportFile);
    }
    QString reportSentence() const
    {
        return "\nUn rapport de diagnostic a été enregistré pour le support : "_q +
               QDir::toNativeSeparators(result.reportFile);
    }

    // The end of `result` as "outcome stage cause".
    QString end() const
    {
        return "%1 %2 %3"_q
            .arg(outcomeKey(result.outcome), stageKey(result.stage), causeKey(result.cause))
            .trimmed();
    }

    Model::Timing timing = SimRig::fastTiming(); // set before install(), reset after each test
    QString cancelAt;          // the progress step at which install() asks the Model to stop
    QElapsedTimer rebootClock; // started when the reboot stage shows
    // What install() leaves.
    std::unique_ptr<SimRig> rig;
    InstallResult result;
    bool ok = false;
    QString title;
    QString message;
    QStringList total;
    QStringList module;
    QStringList stages;  // "stage batch/batches file/files NAME", once per change
    QList<int> percents; // of every value reported
    sim::Record record;
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
