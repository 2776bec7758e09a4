// vardel-station as its users run it: vardel-sim --mock --devices N -- vardel-station, with the
// shipped waits and a tiny package. What each terminal heard comes from vardel-sim's summary,
// what the station did from its exit status, its JSON summary and the shared log.
#include "logindstandin.h"
#include "pack.h"
#include "packagefixture.h"
#include "replies.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>

namespace {

struct Run
{
    int status = -1;
    QString out, err;
    QList<QJsonObject> terminals; // from --json, by serial number
    QJsonObject summary;
    QStringList log;
};

QStringList words(const QString &text)
{
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// The entries of `port`, without their "[port] ", one a line.
QString entriesOf(const QStringList &log, const QString &port)
{
    QStringList mine;
    for (const QString &entry : log) {
        if (entry.startsWith(QLatin1Char('[') + port + "] "_q))
            mine << entry.mid(port.size() + 3);
    }
    return mine.join(QLatin1Char('\n'));
}

// The whole of `entries`: literal lines, and patterns written between slashes.
bool inSequence(const QString &entries, const QStringList &lines)
{
    QStringList parts;
    for (const QString &line : lines)
        parts << (line.startsWith(QLatin1Char('/')) ? line.mid(1, line.size() - 2)
                                                    : QRegularExpression::escape(line));
    const bool match =
        QRegularExpression("^"_q + parts.join("\\n"_q) + "$"_q).match(entries).hasMatch();
    if (!match)
        qWarning().noquote() << "logged:\n" << entries;
    return match;
}

// The entry of the durations of an installation that ran these stages (a pattern).
QString durationsEntry(const QStringList &stages)
{
    QStringList parts;
    for (const QString &stage : stages)
        parts << QRegularExpression::escape(stage) + " \\d+ ms"_q;
    return "/Durées de l'installation : "_q + parts.join(", "_q) + " ; total \\d+ ms/"_q;
}

// The entry of one download of APP.BIN (a pattern): its figures but the times.
QString downloadEntry(int attempt, int bytes, int blocks)
{
    return "/Téléchargement de APP\\.BIN \\(lot 1, fichier 1, essai %1%2\\) : %3 octets sur "
           "300 en \\d+ ms, \\d+ o/s, \\d+ % des 960 o/s de la ligne ; blocs : %4, renvois "
           "\\(ACK_NOK\\) : 0, réponses endommagées : 0, délais dépassés : 0/"_q
        .arg(attempt)
        .arg(bytes == 300 ? QString() : ", inachevé"_q)
        .arg(bytes)
        .arg(blocks);
}

const QString kReportEntry = "/Rapport de diagnostic enregistré : \\S+_rapport\\.txt/"_q;

// The stages of a session, as the durations entry names them.
const QStringList kSessionStages = {"ouverture du port"_q, "initialisation"_q,
                                    "application de réception"_q};
const QStringList kFileStages = {"lecture du matériel"_q,    "contrôle du matériel"_q,
                                 "liste des applications"_q, "annonce"_q,
                                 "autorisation"_q,           "téléchargement"_q};

// Every terminal's first steps, and those of a terminal whose application was found.
const QStringList kSession = {
    "Total : Démarrage de l'installation - 0"_q, "Total : Tentative d'accès au terminal - 10"_q,
    "Module : Veuillez patienter ... - 0"_q, "Total : Initialisation du terminal - 20"_q,
    "Total : Initialisation de l'application \"Mirandol\" du terminal - 30"_q};
const QStringList kToFiles = {
    "Total : Récupération de la configuration matérielle du terminal - 40"_q,
    "Total : Vérification de la cohérence de la configuration matérielle du terminal - 40"_q,
    "Total : Vérification de la liste des applications du terminal - 50"_q,
    "Total : Téléchargement des fichiers en cours (1/1) - 60"_q,
    "Module : Téléchargement du fichier : APP.BIN - 0"_q};

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

    QTemporaryDir packages;
    QString smallPackage; // one file of 300 bytes: 3 data blocks
    QString largePackage; // the same file of 2400 bytes: 20 blocks, seconds on a paced line
    QString base;         // device names of this test process: lock files are shared

    // Runs vardel-sim with the terminals' options, then the station with its own; `during`
    // sees the station's output as it comes and may act on the simulator's process.
    Run run(const QString &terminals, const QStringList &station,
            const std::function<bool(QProcess &, const QString &)> &during = {})
    {
        Run result;
        QTemporaryDir work;
        const QString json = work.filePath("summary.json"_q);
        QProcess sim;
        sim.setWorkingDirectory(work.path());
        sim.start(QStringLiteral(VARDEL_SIM_PATH),
                  QStringList{"--mock"_q, "--device"_q, base} + words(terminals) +
                      QStringList{"--"_q, QStringLiteral(VARDEL_STATION_PATH), "--json"_q, json} +
                      station);
        bool acted = !during;
        QElapsedTimer clock;
        clock.start();
        while (sim.state() != QProcess::NotRunning && clock.elapsed() < 120000) {
            sim.waitForReadyRead(200);
            result.out += QString::fromUtf8(sim.readAllStandardOutput());
            acted = acted || during(sim, result.out);
        }
        if (!sim.waitForFinished(1000))
            sim.kill();
        result.out += QString::fromUtf8(sim.readAllStandardOutput());
        result.err = QString::fromUtf8(sim.readAllStandardError());
        result.status = sim.exitStatus() == QProcess::NormalExit ? sim.exitCode() : -1;
        QFile summary(json);
        if (summary.open(QIODevice::ReadOnly)) {
            result.summary = QJsonDocument::fromJson(summary.readAll()).object();
            QMap<QString, QJsonObject> bySerial;
            for (const QJsonValue &terminal : result.summary["terminals"_q].toArray())
                bySerial.insert(terminal["serialNumber"_q].toString(), terminal.toObject());
            result.terminals = bySerial.values();
        }
        const QStringList logs = QDir(work.path()).entryList({"*_logs.txt"_q});
        result.log = logMessages(work.filePath(logs.value(0)));
        return result;
    }

    QString port(int k) const { return base + QString::number(k); }

private slots:
    void initTestCase()
    {
        base = "ttyST%1_"_q.arg(QCoreApplication::applicationPid());
        // No system bus, unless a test brings logind's stand-in.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS",
                "unix:path="_q.toUtf8() + packages.filePath("no-bus"_q).toUtf8());
        smallPackage = packages.filePath("small"_q);
        largePackage = packages.filePath("large"_q);
        QVERIFY(fixture::writePackage(smallPackage) && fixture::writePackage(largePackage));
        QVERIFY(fixture::write(largePackage + "/app.bin"_q, pack::seal(QByteArray(2400, 'v'))));
        QVERIFY(fixture::write(largePackage + "/configuration.xml"_q,
                               fixture::signXml(fixture::unsignedXml(), largePackage + "/"_q)));
        // The small package with one of its files swapped after signing: refused as a whole.
        for (const auto &file : fixture::files()) {
            const QString swapped = packages.filePath("swapped-"_q + file.first);
            QVERIFY(fixture::writePackage(swapped) &&
                    fixture::write(swapped + "/"_q + file.first, file.second + "x"));
        }
    }

    // Four terminals at once: one without its receiving application, one that stops every
    // download. The other two are updated; the summary, the exit status and each terminal's
    // entries in the shared log say so, each terminal's entries in the order of its scenario.
    void fourTerminals()
    {
        const Run r =
            run("--devices 4 --catalogue 123456 --at 1 --refuse-app --at 2 --refuse data"_q,
                {"--package"_q, smallPackage});
        QVERIFY2(r.status == 1 && r.summary["exitStatus"_q].toInt() == 1, qPrintable(r.err));
        QCOMPARE(r.terminals.size(), 4);
        const QString done = "Installation réalisée avec succès"_q;
        const QStringList results = {done, "Erreur mirandol"_q, "Erreur chargement"_q, done};
        for (int k = 0; k < 4; ++k) {
            const QJsonObject &t = r.terminals.at(k);
            QCOMPARE(t["serialNumber"_q].toString(), "TVX0000%1"_q.arg(k + 1));
            QCOMPARE(t["port"_q].toString(), port(k));
            QCOMPARE(t["result"_q].toString(), results.at(k));
            QCOMPARE(t["success"_q].toBool(), k == 0 || k == 3);
            QVERIFY(t["bytesSent"_q].toDouble() > 0);
            const QRegularExpression row("\n%1 +TVX0000%2 +%3 "_q.arg(port(k)).arg(k + 1).arg(
                QRegularExpression::escape(results.at(k)))); // in the summary table
            QVERIFY2(r.out.contains(row), qPrintable(r.out));
        }
        QVERIFY(
            r.err.contains("[%1] download: APP.BIN, 300 of 300 bytes, complete"_q.arg(port(3))));

        const QStringList updated =
            kSession + kToFiles +
            QStringList{"Module : Téléchargement du fichier : APP.BIN - 40"_q,
                        "Module : Téléchargement du fichier : APP.BIN - 81"_q,
                        "Module : Téléchargement du fichier : APP.BIN - 100"_q,
                        "Total : Installation des applications sur le terminal en cours - 70"_q,
                        "Module : 1 fichier a été téléchargé - 100"_q,
                        "Total : Redémarrage du terminal en cours. - 80"_q,
                        "Module : Veuillez patienter ... - 0"_q,
                        // The reboot wait: its steps until the terminal answers.
                        "/(Module : Veuillez patienter \\.\\.\\. - \\d+\\n)*"
                        "Module : Veuillez patienter \\.\\.\\. - 100/"_q,
                        "Total : Installation réalisée avec succès - 100"_q,
                        // Where the time went, then the result.
                        durationsEntry(kSessionStages + kFileStages +
                                       QStringList{"activation"_q, "redémarrage"_q,
                                                   "attente du retour"_q}),
                        downloadEntry(1, 300, 3),
                        done + " - Le terminal a été correctement mis à jour. - [succès]"_q};
        const QStringList refusedApp =
            kSession + QStringList{"isVardelOnTerminal Erreur _buff"_q,
                                   durationsEntry(kSessionStages),
                                   "Erreur mirandol - L'application \"Mirandol\" n'est pas "
                                   "installée sur le terminal.\n - [échec]"_q,
                                   kReportEntry};
        QStringList stopped = kSession + kToFiles.mid(0, 3);
        for (int attempt = 0; attempt < 4; ++attempt)
            stopped << kToFiles.mid(3) << "load Erreur ACK_STOP"_q;
        stopped << durationsEntry(kSessionStages + kFileStages);
        for (int attempt = 1; attempt <= 4; ++attempt)
            stopped << downloadEntry(attempt, 0, 0);
        stopped << "Erreur chargement - Le fichier : APP.BIN ne peut pas être chargé dans le "
                   "terminal.\nVeuillez réessayer ou contacter le support. - [échec]"_q
                << kReportEntry;
        const QList<QStringList> expected = {updated, refusedApp, stopped, updated};
        for (int k = 0; k < 4; ++k)
            QVERIFY2(inSequence(entriesOf(r.log, port(k)), expected.at(k)), qPrintable(port(k)));
        // Nothing else and nothing torn: the station's own entries around the terminals'.
        const QStringList own = r.log.filter(QRegularExpression("^[^[]"_q));
        // banner, package, search, four found, no sleep lock (no system bus here), end banner
        QCOMPARE(own.size(), 9);
        QVERIFY(own.at(7).startsWith("Mise en veille du PC non empêchée (pas de bus système"_q));
        QVERIFY(own.first().contains("Démarrage de l'application"_q) &&
                own.last().contains("Fin de l'application"_q));
    }

    // How each terminal ended, as values: updated; installed but its restart refused or
    // garbled (to check, so exit status 1); a port held by another program; a terminal that
    // stopped answering. The JSON says it in keys, the summary and the log in words.
    void outcomes()
    {
        // The port of device 3 is held: a lock file that names this (live) process.
        QFile lock("/var/lock/LCK.."_q + port(3));
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::Truncate));
        lock.write(QByteArray::number(QCoreApplication::applicationPid()) + "\ntst_station\n" +
                   QSysInfo::machineHostName().toUtf8() + "\n");
        lock.close();
        const Run r = run("--devices 5 --catalogue 123456 --at 1 --refuse reboot --at 2 --damage "
                          "reboot --at 4 --cut-at 1"_q,
                          {"--package"_q, smallPackage});
        lock.remove();
        QVERIFY2(r.status == 1 && r.summary["exitStatus"_q].toInt() == 1, qPrintable(r.err));
        QCOMPARE(r.terminals.size(), 5);
        // outcome stage cause openFailure rebootAcknowledged returned success
        const QStringList expected{"updated finished null null true true true"_q,
                                   "installed-unverified finished null null false true false"_q,
                                   "installed-unverified finished null null false true false"_q,
                                   "failed opening port-unavailable busy null null false"_q,
                                   "failed receiving-application no-answer null null null false"_q};
        const QStringList results{
            "Installation réalisée avec succès"_q, "Terminal installé, à vérifier"_q,
            "Terminal installé, à vérifier"_q, "Erreur ouverture (port occupé)"_q,
            "Erreur mirandol (pas de réponse)"_q};
        const QStringList done{"mis à jour"_q, "installé, à vérifier"_q, "installé, à vérifier"_q,
                               "Erreur ouverture"_q, "Erreur mirandol"_q};
        for (int k = 0; k < 5; ++k) {
            const QJsonObject &t = r.terminals.at(k);
            QStringList values;
            for (const char *key : {"outcome", "stage", "cause", "openFailure",
                                    "rebootAcknowledged", "returned", "success"}) {
                const QJsonValue v = t[QLatin1String(key)];
                values << (v.isNull()   ? "null"_q
                           : v.isBool() ? (v.toBool() ? "true"_q : "false"_q)
                                        : v.toString());
            }
            QCOMPARE(values.join(QLatin1Char(' ')), expected.at(k));
            QCOMPARE(t["activatedBatches"_q].toArray().size(), k < 3 ? 1 : 0);
            // The summary's result, and the last plain line of each terminal (its end).
            QVERIFY2(r.out.contains(
                         QRegularExpression("\n%1 +TVX0000%2 +%3 "_q.arg(port(k)).arg(k + 1).arg(
                             QRegularExpression::escape(results.at(k))))),
                     qPrintable(r.out));
            QVERIFY2(r.out.contains(QRegularExpression(
                         "\\d  %1 +TVX0000%2 +%3\n"_q.arg(port(k)).arg(k + 1).arg(
                             QRegularExpression::escape(done.at(k))))),
                     qPrintable(r.out));
        }
        // The stages of the live lines come from the Model's values.
        QVERIFY2(r.out.contains(QRegularExpression(
                     "%1 +TVX00001 +téléchargement 1/1 +APP\\.BIN"_q.arg(port(0)))),
                 qPrintable(r.out));
        // The causes follow the result lines in the log, as the window writes them.
        const QStringList tails{
            "Terminal installé, à vérifier - Les fichiers ont été installés, mais le terminal "
            "n'a pas redémarré comme prévu : il n'a pas confirmé son redémarrage.\nVérifiez le "
            "terminal avant de le remettre en service. - [à vérifier]"_q,
            "[échec]\nCause de l'échec d'ouverture : /dev/%1 est occupé par tst_station "
            "(processus %2)"_q.arg(port(3))
                .arg(QCoreApplication::applicationPid()),
            "[échec]\nCause de l'échec : le terminal ne répond plus, aucune réponse n'est "
            "arrivée à la dernière demande"_q};
        // Then the report, of every terminal that was not updated.
        const QRegularExpression report("\nRapport de diagnostic enregistré : \\S+_rapport\\.txt$"_q);
        for (int k : {1, 3, 4}) {
            QString entries = entriesOf(r.log, port(k));
            QVERIFY2(entries.contains(report), qPrintable(entries));
            entries.remove(report);
            QVERIFY2(entries.endsWith(tails.at(k == 1 ? 0 : k - 2)), qPrintable(entries));
        }
    }

    // Two terminals come back from their reboot under new port names, at the same time; each
    // is followed by its serial number. A third one, left out by --port, hears nothing.
    void renumbered()
    {
        const Run r = run("--devices 3 --catalogue 123456 --renumber --reboot-silence 1500"_q,
                          {"--package"_q, smallPackage, "--port"_q, port(1), "--port"_q, port(2)});
        QVERIFY2(r.status == 0, qPrintable(r.out + r.err));
        QCOMPARE(r.terminals.size(), 2);
        QVERIFY(r.err.contains("[%1] frames: none"_q.arg(port(0))));
        for (int k = 1; k <= 2; ++k) {
            const QJsonObject &t = r.terminals.at(k - 1);
            // vardel-sim says under which name each device came back.
            const QString now = QRegularExpression("\\[%1 -> (\\S+)\\] frames:"_q.arg(port(k)))
                                    .match(r.err)
                                    .captured(1);
            QVERIFY2(!now.isEmpty(), qPrintable(r.err));
            QCOMPARE(t["serialNumber"_q].toString(), "TVX0000%1"_q.arg(k + 1));
            QCOMPARE(t["startPort"_q].toString(), port(k));
            QCOMPARE(t["port"_q].toString(), now);
            const QString entries = entriesOf(r.log, port(k));
            const QString found =
                "Terminal retrouvé sur %1 - (Terminal USB) (numéro de série TVX0000%2)\n"_q;
            QVERIFY2(entries.contains(found.arg(now).arg(k + 1)) && entries.endsWith("[succès]"_q),
                     qPrintable(entries));
        }
    }

    // Ctrl-C while three terminals download: none starts anything new, each is released
    // without its file being activated, and the summary says so with exit status 1.
    void interrupted()
    {
        bool sent = false;
        const Run r = run("--devices 3 --catalogue 123456 --pace-9600 --work 30"_q,
                          {"--package"_q, largePackage}, [&](QProcess &sim, const QString &out) {
                              // One plain line per event: each terminal has sent a quarter of
                              // its file and not all of it.
                              for (int k = 0; k < 3; ++k) {
                                  if (!out.contains(QRegularExpression(
                                          port(k) + " .* APP\\.BIN +(2[5-9]|[3-9]\\d) %"_q)))
                                      return false;
                              }
                              // vardel-sim hands the signal on, as a shell's Ctrl-C would.
                              sent = ::kill(pid_t(sim.processId()), SIGINT) == 0;
                              return true;
                          });
        QVERIFY2(sent && r.status == 1, qPrintable(r.out + r.err));
        QVERIFY(r.summary["interrupted"_q].toBool());
        QCOMPARE(r.terminals.size(), 3);
        for (int k = 0; k < 3; ++k) {
            QCOMPARE(r.terminals.at(k)["result"_q].toString(), "Installation interrompue"_q);
            // What the terminal heard: part of the file, the release, never an activation.
            const QString frames =
                QRegularExpression("\\[%1\\] frames: ([^\\n]*)\\n"_q.arg(port(k)))
                    .match(r.err)
                    .captured(1);
            QVERIFY2(frames.contains("release 2"_q) && !frames.contains("activate"_q) &&
                         !frames.contains("reboot"_q),
                     qPrintable(r.err));
            QVERIFY(r.err.contains(QRegularExpression(
                "\\[%1\\] download: APP\\.BIN, \\d+ of 2400 bytes, incomplete"_q.arg(port(k)))));
            // The interruption, the figures (the download unfinished), the result, the report.
            const QRegularExpression stopped(
                QRegularExpression::escape(
                    "Installation interrompue avant l'activation des fichiers\n"_q) +
                "Durées de l'installation : [^\n]*\nTéléchargement de APP\\.BIN \\(lot 1, "
                "fichier 1, essai 1, inachevé\\) : [^\n]*\n"_q +
                QRegularExpression::escape(
                    "Installation interrompue - L'installation a été interrompue avant "
                    "l'activation des fichiers.\nVeuillez relancer la mise à jour du terminal. "
                    "- [échec]"_q) +
                "\nRapport de diagnostic enregistré : \\S+_rapport\\.txt$"_q);
            const QString entries = entriesOf(r.log, port(k));
            QVERIFY2(entries.contains(stopped), qPrintable(entries));
        }
    }

    // The PC stays awake while terminals are being written: logind's stand-in lists the
    // station's lock while they download, to the end of a run, and also to the end of one
    // stopped by Ctrl-C; then no more.
    void sleepInhibited_data()
    {
        QTest::addColumn<bool>("interrupt");
        QTest::newRow("updated") << false;
        QTest::newRow("interrupted") << true;
    }
    void sleepInhibited()
    {
        QFETCH(bool, interrupt);
        LogindStandIn logind;
        QVERIFY(logind.start());
        const QByteArray previous = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", logind.address().toUtf8()); // the station's, too
        QStringList held;
        const Run r = run("--devices 2 --catalogue 123456 --pace-9600"_q,
                          {"--package"_q, largePackage}, [&](QProcess &sim, const QString &out) {
                              // Both terminals in their download.
                              for (int k = 0; k < 2; ++k) {
                                  if (!out.contains(QRegularExpression(
                                          port(k) + " .* APP\\.BIN +(2[5-9]|[3-9]\\d) %"_q)))
                                      return false;
                              }
                              held = logind.inhibitors();
                              if (interrupt)
                                  ::kill(pid_t(sim.processId()), SIGINT);
                              return true;
                          });
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", previous);
        QVERIFY2(r.status == (interrupt ? 1 : 0), qPrintable(r.out + r.err));
        QCOMPARE(held, QStringList{"sleep:idle:handle-lid-switch|Vardel|Mise à jour d'un "
                                   "terminal en cours|block"_q});
        bool answered = false;
        QTRY_VERIFY(logind.inhibitors(&answered).isEmpty() && answered);
        QVERIFY(!r.log.join(QLatin1Char('\n')).contains("Mise en veille du PC"_q));
    }

    // Nothing starts, with a French message on standard error and the status 2, and nothing
    // is sent; among them a package one of whose files changed after signing. --list shows
    // what would be updated and installs nothing.
    void cannotStart_data()
    {
        QTest::addColumn<QString>("terminals"); // vardel-sim's options
        QTest::addColumn<QString>("arguments"); // the station's, after --package
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // on standard error, or standard output for --list
        QTest::newRow("bad option")
            << "--devices 2"_q
            << "--bogus"_q << 2 << "vardel-station : option inconnue : --bogus"_q;
        QTest::newRow("no terminal")
            << "--vendor Acme"_q << QString() << 2 << "vardel-station : aucun terminal détecté."_q;
        QTest::newRow("invalid package")
            << "--devices 2"_q
            << "--package "_q + packages.filePath("none"_q) << 2
            << "ne peut pas être installé : fichier de configuration manquant ou illisible"_q;
        for (const auto &file : fixture::files())
            QTest::addRow("%s changed", qPrintable(file.first))
                << "--devices 2"_q
                << "--package "_q + packages.filePath("swapped-"_q + file.first) << 2
                << file.first + "\" ne correspond pas au package signé : son empreinte "_q;
        QTest::newRow("unknown port")
            << "--devices 2"_q
            << "--port ttyNONE"_q << 2 << "aucun terminal détecté sur : ttyNONE."_q;
        QTest::newRow("list") << "--devices 2"_q
                              << "--list"_q << 0
                              << "valide : « Mise à jour », 1 lot(s), 1 fichier(s)\n"
                                 "2 terminal(aux) détecté(s) :"_q;
    }
    void cannotStart()
    {
        QFETCH(QString, terminals);
        QFETCH(QString, arguments);
        QFETCH(QString, said);
        const Run r = run(terminals, QStringList{"--package"_q, smallPackage} + words(arguments));
        QTEST(r.status, "status");
        QVERIFY2((r.status == 0 ? r.out : r.err).contains(said), qPrintable(r.out + r.err));
        // No terminal heard a single frame, as vardel-sim's summary says.
        QCOMPARE(r.err.count("frames: none"_q), terminals.startsWith("--devices 2"_q) ? 2 : 1);
    }
};

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"
