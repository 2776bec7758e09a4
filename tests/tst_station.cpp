// vardel-station as its users run it: vardel-sim --mock --devices N -- vardel-station, with the
// shipped waits and a tiny package. What each terminal heard comes from vardel-sim's summary,
// what the station did from its exit status, its JSON summary and the shared log.
#include "pack.h"
#include "packagefixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>

namespace {

// Longer than any run here, even under the sanitizers.
constexpr qint64 kRunLimitMs = 120000;

// One run of the station under the simulator, in a working directory of its own.
struct Run
{
    int status = -1;
    QString out;
    QString err;
    QList<QJsonObject> terminals; // from --json, by serial number
    QJsonObject summary;
    QStringList log; // the messages of the log file, without their stamps
};

// The entries of `port`, without their "[port] ", joined by line breaks.
QString entriesOf(const QStringList &log, const QString &port)
{
    const QString prefix = QLatin1Char('[') + port + QStringLiteral("] ");
    QStringList mine;
    for (const QString &entry : log) {
        if (entry.startsWith(prefix))
            mine << entry.mid(prefix.size());
    }
    return mine.join(QLatin1Char('\n'));
}

// A whole sequence of entries: literal lines, and patterns written between slashes.
QRegularExpression sequence(const QStringList &lines)
{
    QStringList parts;
    for (const QString &line : lines)
        parts << (line.startsWith(QLatin1Char('/')) ? line.mid(1, line.size() - 2)
                                                   : QRegularExpression::escape(line));
    return QRegularExpression(QStringLiteral("^") + parts.join(QStringLiteral("\\n")) +
                              QStringLiteral("$"));
}

// Every terminal's first steps, from the start to the download of its one file (one batch:
// the total bar moves by 10).
const QStringList kSession = {
    QStringLiteral("Total : Démarrage de l'installation - 0"),
    QStringLiteral("Total : Tentative d'accès au terminal - 10"),
    QStringLiteral("Module : Veuillez patienter ... - 0"),
    QStringLiteral("Total : Initialisation du terminal - 20"),
    QStringLiteral("Total : Initialisation de l'application \"Mirandol\" du terminal - 30"),
};
const QStringList kToFiles = {
    QStringLiteral("Total : Récupération de la configuration matérielle du terminal - 40"),
    QStringLiteral("Total : Vérification de la cohérence de la configuration matérielle du "
                   "terminal - 40"),
    QStringLiteral("Total : Vérification de la liste des applications du terminal - 50"),
};
const QString kFileStage = QStringLiteral("Total : Téléchargement des fichiers en cours (1/1) - 60");
const QString kDownloadStart = QStringLiteral("Module : Téléchargement du fichier : APP.BIN - 0");

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
    Run run(const QStringList &simArguments, const QStringList &stationArguments,
            const std::function<bool(QProcess &, const QString &)> &during = {})
    {
        Run result;
        QTemporaryDir work;
        const QString json = work.filePath(QStringLiteral("summary.json"));
        QProcess sim;
        sim.setWorkingDirectory(work.path());
        sim.start(QStringLiteral(VARDEL_SIM_PATH),
                  QStringList{QStringLiteral("--mock"), QStringLiteral("--device"), base} +
                      simArguments +
                      QStringList{QStringLiteral("--"), QStringLiteral(VARDEL_STATION_PATH),
                                  QStringLiteral("--json"), json} +
                      stationArguments);
        if (!sim.waitForStarted(10000))
            return result;
        bool acted = !during;
        QElapsedTimer clock;
        clock.start();
        while (sim.state() != QProcess::NotRunning && clock.elapsed() < kRunLimitMs) {
            sim.waitForReadyRead(200);
            result.out += QString::fromUtf8(sim.readAllStandardOutput());
            if (!acted)
                acted = during(sim, result.out);
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
            const QJsonArray terminals = result.summary.value(QStringLiteral("terminals")).toArray();
            for (const QJsonValue &terminal : terminals)
                bySerial.insert(terminal[QStringLiteral("serialNumber")].toString(),
                                terminal.toObject());
            result.terminals = bySerial.values();
        }
        const QStringList logs = QDir(work.path()).entryList({QStringLiteral("*_logs.txt")});
        QFile log(work.filePath(logs.value(0)));
        if (!logs.isEmpty() && log.open(QIODevice::ReadOnly)) {
            static const QRegularExpression stamp(
                QStringLiteral("(^|\n)== \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d == "));
            result.log = QString::fromUtf8(log.readAll()).split(stamp);
            result.log.removeFirst();
            result.log.last().chop(1);
        }
        return result;
    }

    QString port(int k) const { return base + QString::number(k); }

private slots:
    void initTestCase()
    {
        base = QStringLiteral("ttyST%1_").arg(QCoreApplication::applicationPid());
        smallPackage = packages.filePath(QStringLiteral("small"));
        largePackage = packages.filePath(QStringLiteral("large"));
        QVERIFY(fixture::writePackage(smallPackage));
        QVERIFY(fixture::writePackage(largePackage));
        // Only configuration.xml is signed: the file it names can change.
        QVERIFY(fixture::write(largePackage + QStringLiteral("/app.bin"),
                               pack::seal(QByteArray(2400, 'v'))));
    }

    // Four terminals at once: one without its receiving application, one that stops every
    // download. The other two are updated; the summary, the exit status and each terminal's
    // entries in the shared log say so, each terminal's entries in the order of its scenario.
    void fourTerminals()
    {
        const Run r = run({QStringLiteral("--devices"), QStringLiteral("4"),
                           QStringLiteral("--catalogue"), QStringLiteral("123456"),
                           QStringLiteral("--at"), QStringLiteral("1"),
                           QStringLiteral("--refuse-app"), QStringLiteral("--at"),
                           QStringLiteral("2"), QStringLiteral("--refuse"), QStringLiteral("data")},
                          {QStringLiteral("--package"), smallPackage});
        QVERIFY2(r.status == 1, qPrintable(r.err));
        QCOMPARE(r.terminals.size(), 4);
        const QStringList results = {QStringLiteral("Installation réalisée avec succès"),
                                     QStringLiteral("Erreur mirandol"),
                                     QStringLiteral("Erreur chargement"),
                                     QStringLiteral("Installation réalisée avec succès")};
        for (int k = 0; k < 4; ++k) {
            const QJsonObject &t = r.terminals.at(k);
            QCOMPARE(t[QStringLiteral("serialNumber")].toString(),
                     QStringLiteral("TVX0000%1").arg(k + 1));
            QCOMPARE(t[QStringLiteral("port")].toString(), port(k));
            QCOMPARE(t[QStringLiteral("result")].toString(), results.at(k));
            QCOMPARE(t[QStringLiteral("success")].toBool(), k == 0 || k == 3);
            QVERIFY(t[QStringLiteral("bytesSent")].toDouble() > 0);
            // The summary table has the same row.
            QVERIFY2(r.out.contains(QRegularExpression(
                         QStringLiteral("\n%1 +TVX0000%2 +%3 ")
                             .arg(port(k))
                             .arg(k + 1)
                             .arg(QRegularExpression::escape(results.at(k))))),
                     qPrintable(r.out));
        }
        QCOMPARE(r.summary[QStringLiteral("exitStatus")].toInt(), 1);
        QVERIFY(r.err.contains(QStringLiteral("[%1] download: APP.BIN, 300 of 300 bytes, complete")
                                   .arg(port(3))));

        const QStringList updated =
            kSession + kToFiles +
            QStringList{kFileStage, kDownloadStart,
                        QStringLiteral("Module : Téléchargement du fichier : APP.BIN - 40"),
                        QStringLiteral("Module : Téléchargement du fichier : APP.BIN - 81"),
                        QStringLiteral("Module : Téléchargement du fichier : APP.BIN - 100"),
                        QStringLiteral("Total : Installation des applications sur le terminal "
                                       "en cours - 70"),
                        QStringLiteral("Module : 1 fichier a été téléchargé - 100"),
                        QStringLiteral("Total : Redémarrage du terminal en cours. - 80"),
                        QStringLiteral("Module : Veuillez patienter ... - 0"),
                        // The reboot wait: its steps until the terminal answers.
                        QStringLiteral("/(Module : Veuillez patienter \\.\\.\\. - \\d+\\n)*"
                                       "Module : Veuillez patienter \\.\\.\\. - 100/"),
                        QStringLiteral("Total : Installation réalisée avec succès - 100"),
                        QStringLiteral("Installation réalisée avec succès - Le terminal a été "
                                       "correctement mis à jour. - [succès]")};
        const QStringList refusedApp =
            kSession + QStringList{QStringLiteral("isVardelOnTerminal Erreur _buff"),
                                   QStringLiteral("Erreur mirandol - L'application \"Mirandol\" "
                                                  "n'est pas installée sur le terminal.\n - "
                                                  "[échec]")};
        QStringList stopped = kSession + kToFiles;
        for (int attempt = 0; attempt < 4; ++attempt)
            stopped << kFileStage << kDownloadStart << QStringLiteral("load Erreur ACK_STOP");
        stopped << QStringLiteral("Erreur chargement - Le fichier : APP.BIN ne peut pas être "
                                  "chargé dans le terminal.\nVeuillez réessayer ou contacter le "
                                  "support. - [échec]");
        const QList<QStringList> expected = {updated, refusedApp, stopped, updated};
        for (int k = 0; k < 4; ++k) {
            const QString entries = entriesOf(r.log, port(k));
            const bool inOrder = sequence(expected.at(k)).match(entries).hasMatch();
            if (!inOrder)
                qWarning().noquote() << port(k) << "logged:\n" << entries;
            QVERIFY(inOrder);
        }
        // Nothing else and nothing torn: the station's own entries around the terminals'.
        int own = 0;
        for (const QString &entry : r.log)
            own += entry.startsWith(QLatin1Char('[')) ? 0 : 1;
        QCOMPARE(own, 8); // banner, package, search, four terminals found, end banner
        QVERIFY(r.log.first().contains(QStringLiteral("Démarrage de l'application")));
        QVERIFY(r.log.last().contains(QStringLiteral("Fin de l'application")));
    }

    // Two terminals come back from their reboot under new port names, at the same time; each
    // is followed by its serial number. A third one, left out by --port, hears nothing.
    void renumbered()
    {
        const Run r = run({QStringLiteral("--devices"), QStringLiteral("3"),
                           QStringLiteral("--catalogue"), QStringLiteral("123456"),
                           QStringLiteral("--renumber"), QStringLiteral("--reboot-silence"),
                           QStringLiteral("1500")},
                          {QStringLiteral("--package"), smallPackage, QStringLiteral("--port"),
                           port(1), QStringLiteral("--port"), port(2)});
        QVERIFY2(r.status == 0, qPrintable(r.out + r.err));
        QCOMPARE(r.terminals.size(), 2);
        QVERIFY(r.err.contains(QStringLiteral("[%1] frames: none").arg(port(0))));
        for (int k = 1; k <= 2; ++k) {
            const QJsonObject &t = r.terminals.at(k - 1);
            // vardel-sim says under which name each device came back.
            const QRegularExpressionMatch renamed =
                QRegularExpression(QStringLiteral("\\[%1 -> (\\S+)\\] frames:").arg(port(k)))
                    .match(r.err);
            QVERIFY2(renamed.hasMatch(), qPrintable(r.err));
            QCOMPARE(t[QStringLiteral("serialNumber")].toString(),
                     QStringLiteral("TVX0000%1").arg(k + 1));
            QCOMPARE(t[QStringLiteral("startPort")].toString(), port(k));
            QCOMPARE(t[QStringLiteral("port")].toString(), renamed.captured(1));
            QVERIFY(t[QStringLiteral("success")].toBool());
            const QString entries = entriesOf(r.log, port(k));
            QVERIFY2(entries.contains(QStringLiteral("Terminal retrouvé sur %1 - (Terminal USB) "
                                                     "(numéro de série TVX0000%2)\n")
                                          .arg(renamed.captured(1))
                                          .arg(k + 1)),
                     qPrintable(entries));
            QVERIFY(entries.endsWith(QStringLiteral("[succès]")));
        }
    }

    // Ctrl-C while three terminals download: none starts anything new, each is released
    // without its file being activated, and the summary says so with exit status 1.
    void interrupted()
    {
        bool sent = false;
        const Run r = run({QStringLiteral("--devices"), QStringLiteral("3"),
                           QStringLiteral("--catalogue"), QStringLiteral("123456"),
                           QStringLiteral("--pace-9600"), QStringLiteral("--work"),
                           QStringLiteral("30")},
                          {QStringLiteral("--package"), largePackage},
                          [&](QProcess &sim, const QString &out) {
                              // One plain line per event: each terminal has sent a quarter of
                              // its file and not all of it.
                              for (int k = 0; k < 3; ++k) {
                                  if (!out.contains(QRegularExpression(
                                          port(k) + QStringLiteral(" .* APP\\.BIN +(2[5-9]|[3-9]\\d) %"))))
                                      return false;
                              }
                              // vardel-sim hands the signal on, as a shell's Ctrl-C would.
                              sent = ::kill(pid_t(sim.processId()), SIGINT) == 0;
                              return true;
                          });
        QVERIFY2(sent, qPrintable(r.out));
        QVERIFY2(r.status == 1, qPrintable(r.err));
        QVERIFY(r.summary[QStringLiteral("interrupted")].toBool());
        QCOMPARE(r.terminals.size(), 3);
        for (int k = 0; k < 3; ++k) {
            QCOMPARE(r.terminals.at(k)[QStringLiteral("result")].toString(),
                     QStringLiteral("Installation interrompue"));
            // What the terminal heard: part of the file, the release, never an activation.
            const QRegularExpression heard(
                QStringLiteral("\\[%1\\] frames: ([^\\n]*)\\n").arg(port(k)));
            const QString frames = heard.match(r.err).captured(1);
            QVERIFY2(frames.contains(QStringLiteral("release 2")) &&
                         !frames.contains(QStringLiteral("activate")) &&
                         !frames.contains(QStringLiteral("reboot")),
                     qPrintable(r.err));
            QVERIFY(r.err.contains(
                QRegularExpression(QStringLiteral("\\[%1\\] download: APP\\.BIN, \\d+ of 2400 "
                                                  "bytes, incomplete")
                                       .arg(port(k)))));
            QVERIFY(entriesOf(r.log, port(k))
                        .endsWith(QStringLiteral("Installation interrompue avant l'activation des "
                                                 "fichiers\nInstallation interrompue - "
                                                 "L'installation a été interrompue avant "
                                                 "l'activation des fichiers.\nVeuillez relancer "
                                                 "la mise à jour du terminal. - [échec]")));
        }
    }

    // Nothing starts, with a French message on standard error and the status 2; --list shows
    // what would be updated and installs nothing.
    void cannotStart_data()
    {
        QTest::addColumn<QStringList>("terminals"); // vardel-sim's options
        QTest::addColumn<QStringList>("arguments"); // the station's, after --package
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // on standard error, or standard output for --list
        const QStringList two{QStringLiteral("--devices"), QStringLiteral("2")};
        QTest::newRow("bad option") << two << QStringList{QStringLiteral("--bogus")} << 2
                                    << QStringLiteral("vardel-station : option inconnue : --bogus");
        QTest::newRow("no terminal")
            << QStringList{QStringLiteral("--vendor"), QStringLiteral("Acme")} << QStringList{}
            << 2 << QStringLiteral("vardel-station : aucun terminal détecté.");
        QTest::newRow("invalid package")
            << two << QStringList{QStringLiteral("--package"), packages.filePath(QStringLiteral("none"))}
            << 2
            << QStringLiteral("ne peut pas être installé : fichier de configuration manquant ou "
                              "illisible");
        QTest::newRow("unknown port")
            << two << QStringList{QStringLiteral("--port"), QStringLiteral("ttyNONE")} << 2
            << QStringLiteral("aucun terminal détecté sur : ttyNONE.");
        QTest::newRow("list") << two << QStringList{QStringLiteral("--list")} << 0
                              << QStringLiteral("valide : « Mise à jour », 1 lot(s), 1 "
                                                "fichier(s)\n2 terminal(aux) détecté(s) :");
    }
    void cannotStart()
    {
        QFETCH(QStringList, terminals);
        QFETCH(QStringList, arguments);
        QFETCH(QString, said);
        const Run r = run(terminals, QStringList{QStringLiteral("--package"), smallPackage} +
                                         arguments);
        QTEST(r.status, "status");
        QVERIFY2((r.status == 0 ? r.out : r.err).contains(said), qPrintable(r.out + r.err));
        QVERIFY(!r.err.contains(QStringLiteral("frames: init")));
    }

};

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"
