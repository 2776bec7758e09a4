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
        stopWaitingAt.clear();
        rebootClock.invalidate();
        rebootWaited = -1;
        expects.clear();
        thenOptions.clear();
        reinstalling = false;
    }

    // One batch of four files, from connection to the terminal's return, over a real line: 9600
    // baud both ways, replies in pieces of 16 bytes, 30 ms of work on each frame. The terminal
    // restarts after its reboot: the wait's tries find it silent, then it answers again.
    void success()
    {
        const Files files = smallFiles(4);
        QVERIFY(install({files}, "--pace-9600 --piece 16 --work 30"_q) && ok);
        QCOMPARE(title + " | "_q + message, kDone + " | "_q + kUpdated);
        QCOMPARE(rig->log(), QStringList());
        // The stages' texts are in tst_station's logs; the values and file counts are here.
        QStringList values;
        for (const QString &step : total)
            values << step.section(QLatin1Char(' '), -1);
        QCOMPARE(values.join(QLatin1Char(' ')), "0 10 20 30 40 40 50 60 62 64 66 68 78 100"_q);
        QVERIFY(total.contains("Téléchargement des fichiers en cours (2/4) 62"_q));
        // The reboot wait's steps (50 ms of 1500, a silent try costing its second), up to the
        // terminal's return: the bar jumps to 100 and the wait ends.
        const QString downloads =
            "Veuillez patienter ... 0|Téléchargement du fichier : APP0.BIN 0|Téléchargement du "
            "fichier : APP0.BIN 100|Téléchargement du fichier : APP1.BIN 0|Téléchargement du "
            "fichier : APP1.BIN 100|Téléchargement du fichier : APP2.BIN 0|Téléchargement du "
            "fichier : APP2.BIN 100|Téléchargement du fichier : APP3.BIN 0|Téléchargement du "
            "fichier : APP3.BIN 100|4 fichiers ont été téléchargés 100|Veuillez patienter ... 0"_q;
        QVERIFY2(module.join(QLatin1Char('|')).startsWith(downloads + "|"_q),
                 qPrintable(module.join(QLatin1Char('|'))));
        QVector<int> waited;
        for (const QString &step : module.mid(downloads.count(QLatin1Char('|')) + 1))
            waited << step.section(QLatin1Char(' '), -1).toInt();
        QVERIFY2(waited.size() >= 3 && waited.first() == 3 && waited.last() == 100 &&
                     std::is_sorted(waited.begin(), waited.end()) && waited.at(waited.size() - 2) < 90,
                 qPrintable(module.join(QLatin1Char('|'))));
        // The same steps as values: every stage and file in turn, and the module bar's values.
        QStringList expected{"starting 0/1 0/0"_q};
        for (const char *stage : {"opening", "initialisation", "receiving-application",
                                  "hardware-read", "hardware-check", "application-list"})
            expected << QString::fromLatin1(stage) + " 1/1 0/0"_q;
        for (int i = 0; i < 4; ++i) {
            const QString file = " 1/1 %1/4 APP%2.BIN"_q.arg(i + 1).arg(i);
            expected << "advertisement"_q + file << "authorisation"_q + file << "download"_q + file;
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
        QVERIFY(result.activated.first().restarted && !result.verified() &&
                !result.declaresEntries());
        QCOMPARE(heard(), (QList<int>{2, 4, 4, 4, 1}));
        QVERIFY(record.anomalies.isEmpty());
        QList<QByteArray> received;
        for (const sim::Download &download : record.completeDownloads())
            received << download.content;
        QList<QByteArray> sent;
        for (const auto &file : files)
            sent << file.second;
        QCOMPARE(received, sent);
        // The session, then the reboot wait: tries the restarting terminal left unanswered,
        // then the one it answered, the last thing it heard.
        QVERIFY2(QRegularExpression("^-+\\+$"_q).match(waitTries()).hasMatch(),
                 qPrintable(waitTries()));
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
        // Activated, but the restart is not confirmed. A terminal that refused or never heard
        // its reboot does not restart: it answers every try of the wait, and is not taken for
        // one that came back. One whose acknowledgement came damaged did restart.
        const QString installed = "Terminal installé, à vérifier"_q;
        const QString unverified = "installed-unverified finished"_q;
        const QString keptAnswering =
            "Les fichiers ont été installés, mais le terminal n'a pas redémarré comme prévu : il "
            "n'a pas confirmé son redémarrage et a continué de répondre sans redémarrer.\n"
            "Vérifiez le terminal avant de le remettre en service."_q;
        row("reboot refused", "--refuse reboot"_q, installed, keptAnswering, unverified,
            {2, 2, 2, 2, 1});
        row("reboot damaged", "--damage reboot"_q, installed, unconfirmed, unverified,
            {2, 2, 2, 2, 1});
        row("reboot silent", "--mute reboot"_q, installed, keptAnswering, unverified,
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

    // What the terminal lists is the proof of an update. A batch that declares entries is
    // verified once the terminal, back from its restart (silent or away first, then a valid
    // answer), lists them all; otherwise the terminal is installed but to check, the message
    // naming what was expected and what it lists, and no later batch is sent. A batch it
    // already lists is not sent again (unless a reinstallation is asked for); one that lists
    // every batch is already up to date. A terminal that does not come back after a batch gets
    // no later batch either, and every end after an activation names the batches activated.
    void verification_data()
    {
        QTest::addColumn<QStringList>("batches"); // each batch's expected entries, ',' between
        QTest::addColumn<QString>("options");     // of vardel-sim
        QTest::addColumn<QString>("then");        // its options from the first reboot on
        QTest::addColumn<bool>("reinstall");
        QTest::addColumn<int>("delayReboot");
        QTest::addColumn<QString>("end");           // outcome, stage and cause keys
        QTest::addColumn<int>("verified");          // -1: nothing declared
        QTest::addColumn<QList<int>>("heard");      // sessions, activations, list reads
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("logged");    // in this order, among the log's entries
        const auto row = [](const char *name, const QStringList &batches, const QString &options,
                            const QString &then, bool reinstall, int delayReboot,
                            const QString &end, int verified, const QList<int> &heard,
                            const QString &message, const QStringList &logged) {
            QTest::newRow(name) << batches << options << then << reinstall << delayReboot << end
                                << verified << heard << message << logged;
        };
        const QString check = "\nVérifiez le terminal avant de le remettre en service."_q;
        const QString notChecked = "Les fichiers ont été installés et le terminal a redémarré, "
                                   "mais sa mise à jour n'est pas vérifiée : après le lot 1, il "
                                   "devait lister PAIEMENT120500 ; "_q;
        const QString newList = "--apps-after MIRANDOL:0301,PAIEMENT:120500"_q;
        const QString stopped = "Installation arrêtée après le lot 1, sur 2 lots : les lots "
                                "suivants ne sont pas envoyés à un terminal dont la mise à jour "
                                "n'est pas vérifiée"_q;
        const QString secondNot = "\nLe lot 1 a été activé sur le terminal ; le lot 2 n'a pas "
                                  "été installé."_q;
        row("verified", {"PAIEMENT120500"_q}, newList, QString(), false, 0, "updated finished"_q,
            1, {1, 1, 2}, kUpdated + "\nMise à jour vérifiée : le terminal liste PAIEMENT120500."_q,
            {"Lot 1 vérifié : le terminal liste PAIEMENT120500"_q});
        row("list unchanged", {"PAIEMENT120500"_q}, QString(), QString(), false, 0,
            "installed-unverified finished"_q, 0, {1, 1, 2},
            notChecked + "il liste MIRANDOL0301, PAIEMENT120400."_q + check,
            {"Lot 1 à vérifier : le terminal devait lister PAIEMENT120500 ; il liste "
             "MIRANDOL0301, PAIEMENT120400"_q});
        row("list unreadable once back", {"PAIEMENT120500"_q}, newList, "--damage apps"_q, false,
            0, "installed-unverified finished"_q, 0, {1, 1, 2},
            notChecked + "sa liste des applications n'a pas pu être lue."_q + check,
            {"Lot 1 à vérifier : le terminal devait lister PAIEMENT120500 ; sa liste des "
             "applications n'a pas pu être lue après son redémarrage"_q});
        row("two batches verified", {"PAIEMENT120500"_q, "FIDELITE0100"_q},
            newList + " --apps-after MIRANDOL:0301,PAIEMENT:120500,FIDELITE:0100"_q, QString(),
            false, 0, "updated finished"_q, 1, {2, 2, 4},
            kUpdated + "\nMise à jour vérifiée : le terminal liste PAIEMENT120500 et "
                       "FIDELITE0100."_q,
            {"Lot 1 vérifié : le terminal liste PAIEMENT120500"_q,
             "Lot 2 vérifié : le terminal liste FIDELITE0100"_q});
        // The first batch is listed at the start: the second is sent on the same session.
        row("first batch already there", {"PAIEMENT120400"_q, "FIDELITE0100"_q},
            "--apps-after MIRANDOL:0301,PAIEMENT:120400,FIDELITE:0100"_q, QString(), false, 0,
            "updated finished"_q, 1, {1, 1, 2},
            kUpdated + "\nMise à jour vérifiée : le terminal liste PAIEMENT120400 et "
                       "FIDELITE0100."_q,
            {"lot 1 déjà installé : le terminal liste PAIEMENT120400"_q,
             "Lot 2 vérifié : le terminal liste FIDELITE0100"_q});
        row("already up to date", {"PAIEMENT120400"_q, "MIRANDOL0301,PAIEMENT120400"_q},
            QString(), QString(), false, 0, "up-to-date finished"_q, 1, {1, 0, 1},
            "Le terminal liste déjà PAIEMENT120400 et MIRANDOL0301 : il est déjà à jour, rien ne "
            "lui a été envoyé."_q,
            {"lot 1 déjà installé : le terminal liste PAIEMENT120400"_q,
             "lot 2 déjà installé : le terminal liste MIRANDOL0301, PAIEMENT120400"_q});
        row("up to date, reinstalled", {"PAIEMENT120400"_q}, QString(), QString(), true, 0,
            "updated finished"_q, 1, {1, 1, 2},
            kUpdated + "\nMise à jour vérifiée : le terminal liste PAIEMENT120400."_q,
            {"Réinstallation demandée : chaque lot est envoyé, même si le terminal le liste "
             "déjà"_q,
             "lot 1 déjà installé : le terminal liste PAIEMENT120400 ; réinstallation demandée, "
             "il est envoyé de nouveau"_q,
             "Lot 1 vérifié : le terminal liste PAIEMENT120400"_q});
        row("first of two not listed", {"PAIEMENT120500"_q, "FIDELITE0100"_q}, QString(),
            QString(), false, 0, "installed-unverified verification"_q, 0, {1, 1, 2},
            notChecked + "il liste MIRANDOL0301, PAIEMENT120400."_q + secondNot + check,
            {"Lot 1 à vérifier : le terminal devait lister PAIEMENT120500 ; il liste "
             "MIRANDOL0301, PAIEMENT120400"_q,
             stopped});
        row("never back after batch 1 of 2", {QString(), QString()}, "--reboot-silence 90000"_q,
            QString(), false, 0, "installed-unverified reboot-wait"_q, -1, {1, 1, 1},
            "Les fichiers ont été installés, mais le terminal n'a pas redémarré comme prévu : il "
            "n'a pas répondu dans les 2 secondes qui ont suivi son redémarrage."_q +
                secondNot + check,
            {"Le terminal n'a pas répondu après son redémarrage (attente de 1500 ms)"_q, stopped});
        // Answering for 3 s after its reboot is not being back: its list is still the old one.
        row("answers 3 s, then restarts", {"PAIEMENT120500"_q}, "--restart-after 3000 "_q + newList,
            QString(), false, 6000, "updated finished"_q, 1, {1, 1, 2},
            kUpdated + "\nMise à jour vérifiée : le terminal liste PAIEMENT120500."_q,
            {"Le terminal répond encore : il n'a pas encore redémarré"_q,
             "Lot 1 vérifié : le terminal liste PAIEMENT120500"_q});
        row("never restarts", {"PAIEMENT120500"_q}, "--reboot-silence 0 "_q + newList, QString(),
            false, 0, "installed-unverified finished"_q, 0, {1, 1, 1},
            "Les fichiers ont été installés, mais le terminal n'a pas redémarré comme prévu : il a "
            "confirmé son redémarrage, mais a continué de répondre sans redémarrer pendant les 2 "
            "secondes d'attente."_q + check,
            {"Le terminal répond encore : il n'a pas encore redémarré"_q,
             "Le terminal a continué de répondre sans redémarrer (attente de 1500 ms)"_q});
        // Bytes that are not a valid initialisation reply are no sign of life.
        row("damaged answers once restarted", {QString()}, QString(), "--damage init"_q, false, 0,
            "installed-unverified finished"_q, -1, {1, 1, 1},
            "Les fichiers ont été installés, mais le terminal n'a pas redémarré comme prévu : il "
            "n'a pas répondu dans les 2 secondes qui ont suivi son redémarrage."_q + check,
            {"Réponse incomplète ou endommagée du terminal à l'initialisation pendant l'attente "
             "de son retour : elle ne compte pas"_q,
             "Le terminal n'a pas répondu après son redémarrage (attente de 1500 ms)"_q});
        row("failure after an activation", {QString(), QString()}, QString(), "--refuse-app"_q,
            false, 0, "failed receiving-application refused"_q, -1, {1, 1, 1}, // no record read
            "L'application \"Mirandol\" n'est pas installée sur le terminal.\nLe lot 1 a été "
            "activé sur le terminal ; le lot 2 n'a pas été installé."_q,
            {"isVardelOnTerminal Erreur _buff"_q});
    }
    void verification()
    {
        QFETCH(QStringList, batches);
        QFETCH(QString, options);
        QFETCH(bool, reinstall);
        QFETCH(int, delayReboot);
        QFETCH(int, verified);
        QFETCH(QList<int>, heard);
        QFETCH(QStringList, logged);
        QFETCH(QString, then);
        thenOptions = then;
        reinstalling = reinstall;
        QList<Files> files;
        for (int k = 0; k < batches.size(); ++k) {
            files << Files{{"app%1.bin"_q.arg(k), randomBytes(60, quint32(k))}};
            expects << batches.at(k).split(QLatin1Char(','), Qt::SkipEmptyParts);
        }
        QVERIFY(install(files, options, QString(), true, delayReboot));
        QTEST(end(), "end");
        QTEST(message, "message");
        QCOMPARE(result.declaresEntries() ? int(result.verified()) : -1, verified);
        QCOMPARE(result.reinstall, reinstall);
        // The sessions (one hardware record each), the activations, the reads of the list.
        record = rig->record();
        QCOMPARE((QList<int>{record.count(Command::HTerminal), record.count(Command::Activate),
                             record.count(Command::Applications)}),
                 heard);
        QCOMPARE(result.applicationsBefore,
                 (QStringList{"MIRANDOL0301"_q, "PAIEMENT120400"_q}));
        QVERIFY(result.applicationsBeforeRead);
        if (verified == 1 && result.outcome == InstallOutcome::Updated)
            QVERIFY(result.applicationsAfterRead &&
                    BatchCheck::missingFrom(expects.last(), result.applicationsAfter).isEmpty());
        const QStringList log = rig->log();
        int at = 0;
        for (const QString &line : logged) {
            at = log.indexOf(line, at);
            QVERIFY2(at >= 0, qPrintable(line + "\n--- in ---\n"_q + log.join(QLatin1Char('\n'))));
        }
        // Nothing but the session's frames to a terminal already up to date.
        if (result.outcome == InstallOutcome::UpToDate)
            QCOMPARE(this->heard(), (QList<int>{0, 0, 0, 0, 0}));
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
        timing.rebootTryTimeoutMs = 200;
        QVERIFY(install({Files()}, "--reboot-silence 60000"_q, QString(), true, delay));
        const qint64 waited = rebootWaited;
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
        QVERIFY2(tries >= wait / (timing.rebootTryTimeoutMs + timing.rebootStepMs),
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
        // The first step of the reboot wait (50 of 1500 ms) comes only there.
        row("first batch's reboot wait", 2, "Veuillez patienter ... 3"_q, {2, 2, 2, 2, 1}, 2,
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

    // The station's two signals while the terminal is away for the reboot of batch 1 of 2: the
    // first asks the installation to stop, the second to stop waiting. The terminal is not left
    // to check as if every batch had been sent: the installation was interrupted, after batch 1.
    void stoppedWaitingBetweenBatches()
    {
        cancelAt = "Veuillez patienter ... 3"_q;
        stopWaitingAt = cancelAt;
        QVERIFY(install({smallFiles(1), smallFiles(1)}, "--reboot-silence 90000"_q));
        QCOMPARE(end(), "interrupted reboot-wait"_q);
        QCOMPARE(result.activated.size(), 1);
        QVERIFY(result.activated.first().waitStopped && !result.returned());
        QCOMPARE(message, "L'installation a été interrompue après l'activation des fichiers du lot "
                          "1, avant celle des lots suivants (2 lots en tout).\nVeuillez relancer "
                          "la mise à jour du terminal."_q);
        QCOMPARE(record.count(Command::Activate), 1);
        QVERIFY(rig->log().contains("Installation interrompue après l'activation des fichiers du "
                                    "lot 1, sur 2 lots"_q));
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
            // The initialisation after the activation is the reboot wait's first try: the
            // later ones, as many as the restart takes, would end the same way.
            const bool waiting = activated && command == Command::Init;
            QTest::newRow(qPrintable("frame %1 (%2)"_q.arg(k).arg(sim::commandName(command))))
                << k << (waiting ? "finished"_q : stageOf.value(command));
            if (waiting)
                break;
        }
        // The session, 2 x 4 for the files, activation, 2 reboots, the tries of the wait.
        QVERIFY(frames.size() >= 17 && frames.at(15).command == Command::Init);
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

    // The tries of the last reboot wait as the terminal met them: "-" for one it left
    // unanswered (deaf, restarting), "+" for one it answered.
    QString waitTries() const
    {
        QString tries;
        for (const sim::Frame &frame : record.frames) {
            if (frame.command == Command::Reboot)
                tries.clear();
            else if (frame.command == Command::Init)
                tries += QLatin1Char(frame.answered ? '+' : '-');
        }
        return tries;
    }

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
        for (const Files &files : batches) {
            rig->addBatch(files);
            rig->package().batches.last()->expected = expects.value(rig->package().batches.size() - 1);
        }
        if (accept) // the package accepts the terminal's hardware
            rig->acceptTerminal();
        Model &model = rig->model();
        rig->package().terminal->delayReboot = delayReboot;
        const auto keep = [this, &model](QStringList &steps) { // "TEXT VALUE"
            return [this, &model, &steps](const QString &text, int value) {
                steps << text + QLatin1Char(' ') + QString::number(value);
                if (steps.last() == cancelAt)
                    model.requestCancel();
                if (steps.last() == stopWaitingAt)
                    model.requestStopWaiting();
                if (&steps == &module && value == 100 && rebootClock.isValid() &&
                    rebootWaited < 0)
                    rebootWaited = rebootClock.elapsed(); // the wait's end, before the report
                if (text.startsWith("Redémarrage"_q) && !rebootClock.isValid()) {
                    rebootClock.start();
                    if (!thenOptions.isEmpty()) // before the first reboot frame
                        rig->terminal().setBehaviour(behaviourOf(thenOptions));
                }
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
        model.setReinstall(reinstalling);
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
    QList<QStringList> expects; // what each batch expects the terminal to list
    QString thenOptions;        // the terminal's options from the first reboot on
    bool reinstalling = false;  // the Model sends batches the terminal already lists
    QString cancelAt;          // the progress step at which install() asks the Model to stop
    QString stopWaitingAt;     // ... and to stop waiting for the terminal
    QElapsedTimer rebootClock; // started when the reboot stage shows
    qint64 rebootWaited = -1;  // on that clock, when the module bar reached its end
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
