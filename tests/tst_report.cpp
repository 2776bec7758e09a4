// The report for support, the figures of an installation and the replay of a recorded terminal,
// against the simulated terminal with a package read from its folder.
#include "config/configuration.h"
#include "crypto/keys.h"
#include "link/portdiagnosis.h"
#include "model/report/diagnosticreport.h"
#include "model/report/logcapture.h"
#include "model/report/replyrecording.h"
#include "pack.h"
#include "packagefixture.h"
#include "replies.h"
#include "simrig.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/mount.h>

namespace {

// The plain content of the package's file: random, so that any piece of it is recognisable.
const QByteArray &secretContent()
{
    static const QByteArray content = randomBytes(700, 20201);
    return content;
}

const QStringList kSections = {
    "== Programme =="_q, "== Système =="_q, "== Package =="_q, "== Ports série =="_q,
    "== Terminal =="_q, "== Durées =="_q, "== Résultat =="_q,
    "== Journal de la dernière installation =="_q, "== Trace des dernières trames =="_q,
    "== Réponses du terminal =="_q};

// Every way `bytes` could be written into a text: as they are, in hexadecimal (upper or lower
// case, with or without spaces), and in Base64.
QStringList spellings(const QByteArray &bytes)
{
    const QString hex = QString::fromLatin1(bytes.toHex());
    const QString spaced = QString::fromLatin1(bytes.toHex(' '));
    return {QString::fromLatin1(bytes), hex, hex.toUpper(), spaced, spaced.toUpper(),
            QString::fromLatin1(bytes.toBase64())};
}

// The log's entries with what differs from one run to the next made equal: the durations,
// rates and shares of the figures lines, and the report's path.
QStringList comparable(QStringList entries)
{
    static const QRegularExpression figures("\\d+ (ms|o/s|%)"_q);
    static const QRegularExpression report("^(Rapport de diagnostic enregistré : ).*$"_q);
    for (QString &entry : entries) {
        if (entry.startsWith("Durées de l'installation : "_q) ||
            entry.startsWith("Téléchargement de "_q))
            entry.replace(figures, "N \\1"_q);
        entry.replace(report, "\\1REPORT"_q);
    }
    return entries;
}

} // namespace

class TestReport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(folder.isValid());
        dir = folder.path() + QLatin1Char('/');
        // The fixture's package, its payment file replaced by one of known content.
        QVERIFY(fixture::writeFiles(dir) &&
                fixture::write(dir + "app.bin"_q, pack::seal(secretContent())) &&
                fixture::write(dir + "configuration.xml"_q,
                               fixture::signXml(fixture::unsignedXml(), dir)));
    }
    void cleanup() { rig.reset(); }

    // Every installation that does not update the terminal leaves one report beside the log,
    // named after its time, with every section; the result names it, and the log says where
    // it went. What the terminal gave is there; no key and no byte of a file's content is.
    void report_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<QString>("end");
        QTest::addColumn<QString>("terminal"); // what the terminal section says of it
        QTest::newRow("damaged hardware record")
            << "--damage hterm"_q << "failed hardware-read bad-reply"_q
            << "Configuration matérielle reçue mais refusée (128 octets sur 128, incomplète ou "
               "CRC faux), telle que reçue :\n    0  00 00 00 00 00 00 00 00 00 00 12 34 56"_q;
        QTest::newRow("hardware not accepted")
            << "--catalogue 654321"_q << "failed hardware-check hardware-mismatch"_q
            << "Code catalogue (octets 10 à 12) : 65 43 21"_q;
        QTest::newRow("authorisation refused")
            << "--refuse auth"_q << "failed authorisation refused"_q
            << "Applications : MIRANDOL0301, PAIEMENT120400\n"_q;
        QTest::newRow("ACK_NOK storm") << "--nok-forever"_q << "failed download refused"_q
                                       << "Applications : MIRANDOL0301, PAIEMENT120400\n"_q;
        QTest::newRow("every download stopped")
            << "--refuse data"_q << "failed download refused"_q
            << "Applications : MIRANDOL0301, PAIEMENT120400\n"_q;
    }
    void report()
    {
        QFETCH(QString, faults);
        QFETCH(QString, end);
        QFETCH(QString, terminal);
        QVERIFY(install(faults));
        QCOMPARE(ending(), end);
        QVERIFY(!result.reportFile.isEmpty());
        QCOMPARE(QFileInfo(result.reportFile).absolutePath(), QDir::currentPath());
        QVERIFY2(QRegularExpression("^\\d{8}_\\d{6}_rapport\\.txt$"_q)
                     .match(QFileInfo(result.reportFile).fileName())
                     .hasMatch(),
                 qPrintable(result.reportFile));
        QVERIFY(result.boxText().endsWith(
            "\nUn rapport de diagnostic a été enregistré pour le support : "_q +
            QDir::toNativeSeparators(result.reportFile)));
        QCOMPARE(rig->log().last(), "Rapport de diagnostic enregistré : "_q +
                                        QDir::toNativeSeparators(result.reportFile));

        const QString text = reportText();
        int at = 0;
        for (const QString &section : kSections) {
            const int found = text.indexOf("\n"_q + section + "\n"_q, at);
            QVERIFY2(found > at, qPrintable(section + "\n"_q + text));
            at = found;
        }
        const QStringList outcome = end.split(QLatin1Char(' '));
        const QStringList expected = {
            "Issue : échec (failed)\n"_q,
            "("_q + outcome[1] + ")\n"_q,
            "("_q + outcome[2] + ")\n"_q,
            "Titre : "_q + result.title + "\n"_q,
            terminal,
            "configuration.xml : "_q,
            package->configurationSha256(),
            "app.bin : %1 octets, SHA-256 "_q.arg(pack::seal(secretContent()).size()),
            "Port de l'installation : "_q + rig->label(),
            "  "_q + rig->label().section(" "_q, 0, 0) + " (/dev/"_q,
            "Durées de l'installation : "_q,
            "PC -> terminal"_q,
            ReplyRecording::kEndMarker};
        for (const QString &part : expected)
            QVERIFY2(text.contains(part), qPrintable(part + "\n----\n"_q + text));

        // No secret, whole or in part.
        QStringList secrets = spellings(secretContent());
        for (int from = 0; from + 8 <= secretContent().size(); from += 61)
            secrets << spellings(secretContent().mid(from, 8));
        const QByteArray key(reinterpret_cast<const char *>(keys::kPackageKey.data()),
                             int(keys::kPackageKey.size()));
        secrets << spellings(key);
        for (int from = 0; from + 6 <= key.size(); from += 5)
            secrets << spellings(key.mid(from, 6));
        for (const QString &secret : secrets)
            QVERIFY2(!text.contains(secret), qPrintable("found in the report: "_q + secret));
    }

    // A terminal installed but not verified: the report says what the package expects after
    // each batch, what the terminal listed before the installation and after it, and how each
    // batch's check ended.
    void verificationReport_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<QStringList>("said");
        const QString before = "Applications avant l'installation : MIRANDOL0301, PAIEMENT120400\n"_q;
        const QString expects = "Entrées attendues après le lot 1 : PAIEMENT120500\n"_q;
        QTest::newRow("list unchanged")
            << QString()
            << QStringList{expects, before,
                           "Applications après l'installation : MIRANDOL0301, PAIEMENT120400\n"_q,
                           "Issue : installé, à vérifier (installed-unverified)\n"_q,
                           "Lot 1, entrées attendues : PAIEMENT120500 : manque PAIEMENT120500 "
                           "(missing)\n"_q,
                           "Mise à jour vérifiée : non\n"_q};
        QTest::newRow("never back")
            << "--reboot-silence 90000"_q
            << QStringList{expects, before, "Applications après l'installation : non lue\n"_q,
                           "Lot 1, entrées attendues : PAIEMENT120500 : non vérifié "
                           "(not-checked)\n"_q,
                           "lot 1 (redémarrage confirmé, retour non constaté)"_q};
    }
    void verificationReport()
    {
        QFETCH(QString, faults);
        QFETCH(QStringList, said);
        QTemporaryDir expecting;
        const QString other = expecting.path() + QLatin1Char('/');
        QVERIFY(fixture::writeFiles(other) &&
                fixture::write(other + "configuration.xml"_q,
                               fixture::signXml(fixture::unsignedXml(0).replace(
                                                    "</file>",
                                                    "</file><expect>PAIEMENT120500</expect>"),
                                                other)));
        QVERIFY(install(faults, {}, other));
        QCOMPARE(result.outcome, InstallOutcome::InstalledUnverified);
        const QString text = reportText();
        for (const QString &part : said)
            QVERIFY2(text.contains(part), qPrintable(part + "\n----\n"_q + text));
    }

    // On request, before any installation: the sections that need none, with what the PC runs.
    void reportOnRequest_data()
    {
        QTest::addColumn<bool>("modemManager");
        QTest::newRow("no ModemManager") << false;
        QTest::newRow("ModemManager running") << true;
    }
    void reportOnRequest()
    {
        QFETCH(bool, modemManager);
        if (PortDiagnosis::findProcess("ModemManager"_q) > 0)
            QSKIP("a ModemManager runs here");
        QProcess standIn; // a process that calls itself ModemManager
        // Without umockdev and the sanitizer's runtime, which are the test's own.
        QProcessEnvironment plain = QProcessEnvironment::systemEnvironment();
        plain.remove("LD_PRELOAD"_q);
        standIn.setProcessEnvironment(plain);
        if (modemManager) {
            standIn.start("perl"_q, {"-e"_q, "$0 = 'ModemManager'; $| = 1; print \"up\\n\"; "
                                              "sleep 60;"_q});
            QVERIFY(standIn.waitForReadyRead(5000) && standIn.readLine() == "up\n");
        }
        rig.reset();
        rig = std::make_unique<SimRig>();
        QVERIFY(rig->ready());
        rig->model().setConfigurationDirectory(dir);
        rig->model().loadConfiguration();
        const QString path = rig->model().writeReport();
        const qint64 pid = standIn.processId();
        standIn.kill();
        standIn.waitForFinished();
        QFile file(path);
        QVERIFY(!path.isEmpty() && file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        const QString seen = modemManager
                                 ? "ModemManager : en cours (processus %1)\n"_q.arg(pid)
                                 : "ModemManager : non vu parmi les processus\n"_q;
        for (const QString &part :
             {seen, "Utilisateur : "_q + qEnvironmentVariable("USER", "root"_q) + " (uid "_q,
              "== Package ==\n"_q, "Signature : la signature est valide\n"_q,
              "== Dernière installation ==\nAucune installation ne s'est terminée"_q,
              "== Trace des dernières trames ==\n"_q})
            QVERIFY2(text.contains(part), qPrintable(part + "\n----\n"_q + text));
        QCOMPARE(rig->log().last(), "Rapport de diagnostic enregistré : "_q + path);
    }

    // An updated terminal leaves no report, but the figures of each download: its bytes and
    // blocks, and what the line did.
    void downloadFigures_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<int>("resends");
        QTest::addColumn<int>("damaged");
        QTest::addColumn<int>("timeouts");
        QTest::newRow("clean") << QString() << 1 << 0 << 0 << 0;
        QTest::newRow("two ACK_NOK") << "--nok-block 1 --nok-block 1"_q << 1 << 2 << 0 << 0;
        QTest::newRow("damaged replies") << "--bad-crc-block 2 --bad-header-block 3"_q << 1 << 0
                                         << 2 << 0;
        // A block left unanswered ends the download; the file is sent again.
        QTest::newRow("unanswered block") << "--mute-block 4"_q << 2 << 0 << 0 << 1;
    }
    void downloadFigures()
    {
        QFETCH(QString, faults);
        QFETCH(int, attempts);
        QFETCH(int, resends);
        QFETCH(int, damaged);
        QFETCH(int, timeouts);
        QVERIFY(install(faults));
        QCOMPARE(ending(), "updated finished none"_q);
        QVERIFY(result.reportFile.isEmpty());
        QVERIFY(QDir::current().entryList({"*_rapport.txt"_q}).isEmpty());
        const QList<DownloadFigures> &downloads = result.figures.downloads;
        QCOMPARE(downloads.size(), attempts);
        int counted[3] = {0, 0, 0};
        for (int k = 0; k < downloads.size(); ++k) {
            const DownloadFigures &d = downloads.at(k);
            QCOMPARE(d.fileName, "APP.BIN"_q);
            QCOMPARE(int(d.length), secretContent().size());
            QCOMPARE(d.complete, k == downloads.size() - 1);
            QCOMPARE(d.attempt, k + 1);
            counted[0] += d.resends;
            counted[1] += d.damaged;
            counted[2] += d.timeouts;
        }
        QCOMPARE(counted[0], resends);
        QCOMPARE(counted[1], damaged);
        QCOMPARE(counted[2], timeouts);
        const DownloadFigures &d = downloads.last();
        QCOMPARE(int(d.bytes), secretContent().size());
        QCOMPARE(d.blocks, 6); // 124 bytes a block
        QVERIFY(d.durationMs > 0 && d.lineShare() > 0);
        // Every stage, in the scenario's order, each time from the end of the one before.
        QStringList stages;
        qint64 next = 0;
        for (const StageTiming &t : result.figures.stages) {
            stages << stageKey(t.stage);
            QCOMPARE(t.startMs, next);
            next = t.startMs + t.durationMs;
        }
        const QString file = " advertisement authorisation download"_q;
        QCOMPARE(stages.join(" "_q),
                 "starting opening initialisation receiving-application hardware-read "
                 "hardware-check application-list"_q +
                     file.repeated(attempts) + " activation reboot reboot-wait finished"_q);
        QVERIFY(result.figures.totalMs >= next);
        const QStringList log = rig->log();
        QVERIFY2(log.filter(QRegularExpression(
                     "^Téléchargement de APP\\.BIN \\(lot 1, fichier 1, essai %4\\) : 700 octets "
                     "sur 700 en \\d+ ms, \\d+ o/s, \\d+ % des 960 o/s de la ligne ; blocs : 6, "
                     "renvois \\(ACK_NOK\\) : %1, réponses endommagées : %2, délais dépassés : "
                     "%3$"_q.arg(d.resends)
                         .arg(d.damaged)
                         .arg(d.timeouts)
                         .arg(attempts)))
                         .size() == 1,
                 qPrintable(log.join("\n"_q)));
    }

    // A failure made with the simulator's faults, reported, then played back from its report:
    // the program ends the same way and logs the same entries, and the replay finds every frame
    // where the report recorded it.
    void replay_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::newRow("damaged hardware record") << "--damage hterm"_q;
        QTest::newRow("authorisation refused") << "--refuse auth"_q;
        QTest::newRow("ACK_NOK storm") << "--nok-forever"_q;
        // Each of the four attempts at the file waits for a final acknowledgement that never
        // comes.
        QTest::newRow("damaged replies, no final acknowledgement")
            << "--bad-crc-block 1 --bad-header-block 2 --no-final-ack"_q;
    }
    void replay()
    {
        QFETCH(QString, faults);
        QVERIFY(install(faults));
        const QString first = ending();
        QVERIFY(first.startsWith("failed "_q));
        const QStringList logged = comparable(rig->log());
        // Kept out of the first run's folder, which goes with it.
        const QString recorded = dir + "recorded.txt"_q;
        QVERIFY(fixture::write(recorded, reportText().toUtf8()));

        QVERIFY(install("--replay "_q + recorded));
        QCOMPARE(ending(), first);
        QCOMPARE(comparable(rig->log()), logged);
        const sim::Record replayed = rig->record();
        QVERIFY(replayed.replayed);
        QVERIFY2(replayed.replayNotes.first().contains(" 0 differing, 0 data blocks answered "
                                                       "for dropped exchanges, 0 beyond "_q),
                 qPrintable(replayed.replayNotes.join("\n"_q)));
    }

    // A download of 768 KB logs about 6,600 progress entries, more than a report keeps: the
    // report keeps the start of the installation, from its initialisation to the application
    // list, and its last entries, and says how many progress entries it left out between them.
    // Those are exactly the entries of the log file it lacks, all of them the download's
    // progress.
    void longDownloadReport()
    {
        QTemporaryDir large;
        const QString folder = large.path() + "/"_q;
        QVERIFY(fixture::writeFiles(folder) &&
                fixture::write(folder + "app.bin"_q, pack::seal(randomBytes(768 << 10, 4242))) &&
                fixture::write(folder + "configuration.xml"_q,
                               fixture::signXml(fixture::unsignedXml(0), folder)));
        // Installed, to check (the reboot refused, the wait at its shortest): a report. The progress logged as the front ends log it.
        QVERIFY(install("--refuse reboot"_q, {}, folder, true));
        QCOMPARE(ending(), "installed-unverified finished none"_q);
        const QString text = reportText();
        const int from = text.indexOf("\n== Journal de la dernière installation ==\n"_q);
        const int to = text.indexOf("\n== Trace des dernières trames ==\n"_q);
        QVERIFY(from > 0 && to > from);
        // Its lines, without the heading and the line break of its last entry.
        QStringList section = text.mid(from, to - from).split(QLatin1Char('\n')).mid(2);
        while (!section.isEmpty() && section.last().isEmpty())
            section.removeLast();
        const QRegularExpression header(
            "^Entrées omises : (\\d+) de progression, 0 autres ; le début de l'installation et "
            "ses 4000 dernières entrées sont là"_q);
        const auto counted = header.match(section.value(0));
        QVERIFY2(counted.hasMatch(), qPrintable(section.value(0)));
        const int omitted = counted.captured(1).toInt();
        // The entries before and after the one place where entries were left out.
        const QString gap = "(%1 entrées de progression omises)"_q.arg(omitted);
        const int at = section.indexOf(gap);
        QVERIFY2(at > 1, qPrintable(section.mid(0, 300).join("\n"_q)));
        const auto messages = [](const QStringList &lines) {
            static const QRegularExpression stamp(
                "(^|\n)== \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d == "_q);
            QStringList found = lines.join(QLatin1Char('\n')).split(stamp);
            found.removeFirst();
            return found;
        };
        const QStringList head = messages(section.mid(1, at - 1));
        const QStringList tail = messages(section.mid(at + 1));
        QVERIFY2(head.first() == "Total : Démarrage de l'installation - 0"_q,
                 qPrintable(head.first()));
        QCOMPARE(head.filter(QRegularExpression(
                              "^Total : Vérification de la liste des applications du terminal - "_q))
                     .size(),
                 1);
        QCOMPARE(head.size(), LogCapture::kHeadEntries);
        QCOMPARE(tail.size(), LogCapture::kTailEntries);

        // The log file has them all: the report's, and the progress entries it left out.
        const QStringList logged = rig->log();
        const int start = logged.indexOf(head.first());
        const int end = logged.size() - 1; // the report's own entry comes after it
        QVERIFY(logged.last().startsWith("Rapport de diagnostic enregistré : "_q));
        QCOMPARE(logged.mid(start, head.size()), head);
        QCOMPARE(logged.mid(end - tail.size(), tail.size()), tail);
        const QStringList left = logged.mid(start + head.size(), end - tail.size() - start - head.size());
        QCOMPARE(left.size(), omitted);
        QVERIFY(omitted > 2000);
        QCOMPARE(left.filter(QRegularExpression("^Module : Téléchargement du fichier : APP\\.BIN - \\d+$"_q)).size(),
                 omitted);
    }

    // A report that cannot be written is said in the log and changes nothing else: here its
    // folder is gone (renamed while the log file stays open).
    void unwritableFolder()
    {
        QString here;
        QVERIFY(install("--refuse auth"_q, [&here] {
            here = QDir::currentPath();
            return QDir().rename(here, here + ".gone"_q);
        }));
        QVERIFY(QDir().rename(here + ".gone"_q, here));
        QCOMPARE(ending(), "failed authorisation refused"_q);
        QVERIFY(result.reportFile.isEmpty());
        QVERIFY(!result.boxText().contains("rapport"_q));
        const QStringList log = rig->log();
        QVERIFY2(log.last().startsWith("Le rapport de diagnostic n'a pas pu être enregistré ("_q +
                                       here + "/"_q) &&
                     log.at(log.size() - 2).endsWith(" - [échec]"_q),
                 qPrintable(log.join("\n"_q)));
        QVERIFY(QDir::current().entryList({"*_rapport.txt"_q}).isEmpty());
    }

    // A report asked for (the window's "Enregistrer un rapport") on a full disk: no report,
    // not even an empty one, and the log gives the cause; the window then shows its warning
    // (MainWindow::saveReport, on an empty path). The disk is a small tmpfs mounted over the
    // log's folder once the log is open, filled; the log itself stays on the disk below.
    void reportOnFullDisk()
    {
        rig.reset();
        rig = std::make_unique<SimRig>();
        QVERIFY(rig->ready());
        rig->model().setConfigurationDirectory(dir);
        rig->model().loadConfiguration();
        const QString folder = QDir::currentPath();
        const QByteArray point = QFile::encodeName(folder);
        if (::mount("tmpfs", point.constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP(qPrintable("no small file system to fill (mount: "_q +
                             QString::fromLocal8Bit(std::strerror(errno)) + ")"_q));
        QString path;
        QStringList left;
        {
            const std::unique_ptr<const char, void (*)(const char *)> unmount(
                point.constData(), [](const char *p) { ::umount2(p, MNT_DETACH); });
            QFile filler(folder + "/filler"_q);
            QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            while (filler.write(QByteArray(4096, 'f')) == 4096) {
            }
            filler.close();
            path = rig->model().writeReport();
            left = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        }
        QVERIFY2(path.isEmpty(), qPrintable(path));
        QCOMPARE(left, QStringList{"filler"_q});
        const QString last = rig->log().last();
        QVERIFY2(last.startsWith("Le rapport de diagnostic n'a pas pu être enregistré ("_q +
                                 folder + "/"_q) &&
                     last.endsWith("_rapport.txt) : plus de place sur le disque (à "
                                   "l'écriture)"_q),
                 qPrintable(last));
    }

private:
    // An installation of the package against a terminal with these faults, ended as the front
    // ends end it.
    bool install(const QString &faults, const std::function<bool()> &before = {},
                 const QString &packageFolder = QString(), bool logProgress = false)
    {
        rig.reset(); // its port's lock goes with it
        rig = std::make_unique<SimRig>(behaviourOf("--catalogue 123456 "_q + faults));
        if (!rig->ready())
            return false;
        Model &model = rig->model();
        model.setConfigurationDirectory(packageFolder.isEmpty() ? dir : packageFolder);
        model.loadConfiguration();
        package = model.package();
        if (!package || package->configurationSha256().isEmpty())
            return false;
        if (before && !before())
            return false;
        if (logProgress) {
            connect(&model, &Model::setModuleProgression, &model,
                    [&model](const QString &text, int value) {
                        model.logProgress("Module"_q, text, value);
                    }, Qt::DirectConnection);
            connect(&model, &Model::setTotalProgression, &model,
                    [&model](const QString &text, int value) {
                        model.logProgress("Total"_q, text, value);
                    }, Qt::DirectConnection);
        }
        result = model.install(rig->label());
        model.logResult(result);
        return true;
    }
    // The result as "outcome stage cause".
    QString ending() const
    {
        return outcomeKey(result.outcome) + " "_q + stageKey(result.stage) + " "_q +
               (result.cause == FailureCause::None ? "none"_q : causeKey(result.cause));
    }
    QString reportText() const
    {
        QFile file(result.reportFile);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QTemporaryDir folder;
    QString dir; // the package's folder
    std::unique_ptr<SimRig> rig;
    std::shared_ptr<const Configuration> package;
    InstallResult result;
};

QTEST_GUILESS_MAIN(TestReport)
#include "tst_report.moc"
