// vardel-station as its users run it: vardel-sim --mock --devices N -- vardel-station, with the
// shipped waits and a tiny package. What each terminal heard comes from vardel-sim's summary,
// what the station did from its exit status, its output, its JSON summary, its journal and the
// shared log.
#include "logindstandin.h"
#include "childsignal.h"
#include "pack.h"
#include "packagefixture.h"
#include "programtimings.h"
#include "replies.h"
#include "sanitizerreport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// What a run left behind.
struct Run
{
    int status = -1;
    QString out, err;
    QList<QJsonObject> terminals; // from --json, by serial number
    QJsonObject summary;
    QStringList log;
    QList<QJsonObject> journal; // from --journal, one a line
    QStringList journalLines;
    QMap<QString, QByteArray> reports; // the reports for support, by file name
};

// While a run goes on: what the station printed and logged so far, and the processes.
struct During
{
    QProcess &sim;
    QString out;
    QString log;     // the log file's text
    QString journal; // the journal's text
    QString work;    // the run's working directory
};

// vardel-sim whose command starts with its standard output on `fd` (a pipe with no reader, a
// pty) instead of QProcess's pipe.
class RedirectedProcess : public QProcess
{
public:
    int output = -1;

protected:
    void setupChildProcess() override
    {
        if (output >= 0)
            ::dup2(output, STDOUT_FILENO);
    }
};

struct Setup
{
    QString terminals;                                    // vardel-sim's options
    QStringList station;                                  // the station's, after --json FILE
    std::function<bool(During &)> during;                 // true once it has acted
    std::function<bool(const QString &work)> before = {}; // prepares the working directory
    int output = -1;                                      // see RedirectedProcess
    int timeoutMs = 120000;
    bool shipped = false; // the shipped waits, not the suite's shortened ones (programtimings.h)
    QString timings = {}; // waits of its own on top of the suite's ("releaseTimeoutMs=3000")
};

// The words of a command line, split at spaces; '' is an empty word.
QStringList words(const QString &text)
{
    QStringList all = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (QString &word : all) {
        if (word == "''"_q)
            word.clear();
    }
    return all;
}

// How many times device `port` activated files, as vardel-sim says.
int activations(const QString &frames)
{
    return QRegularExpression("activate (\\d+)"_q).match(frames).captured(1).toInt();
}

// Whether `text` holds a control character other than a line break.
bool hasControlCharacter(const QString &text)
{
    for (const QChar c : text) {
        if ((c.unicode() < 0x20 && c != QLatin1Char('\n')) ||
            (c.unicode() >= 0x7f && c.unicode() < 0xa0))
            return true;
    }
    return false;
}

// A regular file's text (never a device such as /dev/full, which has no end).
QString readText(const QString &path)
{
    QFile file(path);
    return QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly)
               ? QString::fromUtf8(file.readAll())
               : QString();
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

const QString kReportEntry = "/Rapport de diagnostic enregistré : \\S+_rapport\\.txt/"_q;

// What vardel-sim says device `port` heard: its "frames:" line.
QString framesOf(const QString &err, const QString &port)
{
    return QRegularExpression("\\[%1( -> [^\\]]*)?\\] frames: ([^\\n]*)\\n"_q.arg(port))
        .match(err)
        .captured(2);
}

// The same, with the initialisations of a terminal that was rebooted said as "init 1+N" when
// there were more than two: each session's, the tries of the reboot wait the restarting
// terminal left unanswered and the one it answered; how many depends on when the tries fall.
QString rebootedFramesOf(const QString &err, const QString &port)
{
    QString frames = framesOf(err, port);
    const QRegularExpressionMatch inits = QRegularExpression("^init (\\d+),"_q).match(frames);
    if (frames.contains(" reboot "_q) && inits.hasMatch() && inits.captured(1).toInt() >= 3)
        frames.replace(0, inits.capturedLength(), "init 1+N,"_q);
    return frames;
}

// The process the station runs in: vardel-sim's child.
pid_t stationOf(const QProcess &sim)
{
    const QString pid = QString::number(sim.processId());
    return pid_t(readText("/proc/%1/task/%1/children"_q.arg(pid)).simplified().toInt());
}

// Whether this build holds the committed development keys, found apart from the program.
bool developmentKeys()
{
    const auto hex = [](const QString &file) {
        return readText(file).toLower().simplified().remove(QLatin1Char(' '));
    };
    for (const QString &name : {"/package.key"_q, "/signing-modulus.hex"_q})
        if (hex(VARDEL_TEST_KEY_DIR ""_q + name) == hex(VARDEL_TEST_DEV_KEY_DIR ""_q + name))
            return true;
    return false;
}

const QString kUpdated = "Installation réalisée avec succès"_q;
const QString kSearchLine = "Démarrage de la recherche de terminal"_q;

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

    QTemporaryDir packages;
    QString smallPackage; // one file of 300 bytes: 3 data blocks
    QString largePackage; // the same file of 2400 bytes: 20 blocks, seconds on a paced line

    // The small package with other batches: `batches` in place of its own, signed; the reboot
    // delay `delayReboot` (none: the station's wait).
    QString packageWith(const QString &name, const QByteArray &batches, int delayReboot = 0)
    {
        const QString folder = packages.filePath(name);
        const QByteArray xml = fixture::unsignedXml(delayReboot).replace(
            "<batch id=\"1\"><file>app.bin</file></batch>", batches);
        const bool written =
            fixture::writePackage(folder) &&
            fixture::write(folder + "/configuration.xml"_q, fixture::signXml(xml, folder + "/"_q));
        return written ? folder : QString();
    }
    // A batch of the small package's file, expecting `entries`.
    static QByteArray batch(int id, const QStringList &entries = {})
    {
        QByteArray xml = "<batch id=\"" + QByteArray::number(id) + "\"><file>app.bin</file>";
        for (const QString &entry : entries)
            xml += "<expect>" + entry.toUtf8() + "</expect>";
        return xml + "</batch>";
    }
    // How a terminal ended, as its JSON says it: outcome, stage, verified, the state of each
    // batch check, the batches activated, returned.
    static QString ending(const QJsonObject &t)
    {
        const auto value = [](const QJsonValue &v) {
            return v.isNull() ? "null"_q : v.isBool() ? (v.toBool() ? "true"_q : "false"_q)
                                                       : v.toString();
        };
        QStringList checks, activated;
        for (const QJsonValue &c : t["batchChecks"_q].toArray())
            checks << c["state"_q].toString();
        for (const QJsonValue &b : t["activatedBatches"_q].toArray())
            activated << QString::number(b.toInt());
        return QStringList{value(t["outcome"_q]), value(t["stage"_q]), value(t["verified"_q]),
                           "checks:"_q + checks.join(QLatin1Char(',')),
                           "activated:"_q + activated.join(QLatin1Char(',')),
                           "returned:"_q + value(t["returned"_q])}
            .join(QLatin1Char(' '));
    }
    QString base;         // device names of this test process: lock files are shared
    QString caught;       // the first sanitizer report of a run in this test function

    // Runs vardel-sim with the terminals' options, then the station with its own; `during`
    // sees the station's output and log as they come, and may act on the processes.
    Run run(const Setup &setup)
    {
        Run result;
        QTemporaryDir work;
        const QString json = work.filePath("summary.json"_q);
        const QString journal = work.filePath("journal.txt"_q);
        if (setup.before && !setup.before(work.path()))
            qWarning("the working directory could not be prepared");
        RedirectedProcess sim;
        sim.output = setup.output;
        sim.setWorkingDirectory(work.path());
        QProcessEnvironment environment = programtimings::environment(setup.shipped);
        if (!setup.timings.isEmpty())
            environment.insert("VARDEL_TEST_TIMINGS"_q,
                               QString::fromLatin1(programtimings::text()) + ","_q + setup.timings);
        sim.setProcessEnvironment(environment);
        sim.start(QStringLiteral(VARDEL_SIM_PATH),
                  QStringList{"--mock"_q, "--device"_q, base} +
                      programtimings::terminalOptions(setup.shipped) + words(setup.terminals) +
                      QStringList{"--"_q, QStringLiteral(VARDEL_STATION_PATH), "--json"_q, json} +
                      setup.station);
        During now{sim, {}, {}, {}, work.path()};
        bool acted = !setup.during;
        QElapsedTimer clock;
        clock.start();
        while (sim.state() != QProcess::NotRunning && clock.elapsed() < setup.timeoutMs) {
            // With its output elsewhere, the pipe is at its end at once: poll, do not spin.
            if (setup.output >= 0)
                sim.waitForFinished(20);
            else
                sim.waitForReadyRead(200);
            now.out += QString::fromUtf8(sim.readAllStandardOutput());
            if (!acted) {
                const QStringList logs = QDir(work.path()).entryList({"*_logs.txt"_q});
                now.log = logs.isEmpty() ? QString() : readText(work.filePath(logs.first()));
                now.journal = readText(journal);
                acted = setup.during(now);
            }
        }
        if (!sim.waitForFinished(1000))
            sim.kill();
        result.out = now.out + QString::fromUtf8(sim.readAllStandardOutput());
        const QByteArray stderrText = sim.readAllStandardError();
        result.err = QString::fromUtf8(stderrText);
        if (caught.isEmpty())
            caught = sanitizer::reportIn(stderrText);
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
        if (!logs.isEmpty() && QFileInfo(work.filePath(logs.first())).isFile())
            result.log = logMessages(work.filePath(logs.first()));
        for (const QString &name : QDir(work.path()).entryList({"*_rapport.txt"_q})) {
            QFile report(work.filePath(name));
            if (report.open(QIODevice::ReadOnly))
                result.reports.insert(name, report.readAll());
        }
        result.journalLines = readText(journal).split(QLatin1Char('\n'));
        for (const QString &line : result.journalLines) {
            if (!line.isEmpty())
                result.journal << QJsonDocument::fromJson(line.toUtf8()).object();
        }
        return result;
    }
    Run run(const QString &terminals, const QStringList &station,
            const std::function<bool(During &)> &during = {})
    {
        return run(Setup{terminals, station, during});
    }

    QString port(int k) const { return base + QString::number(k); }

    // Sends `signal` to vardel-sim, which hands it on to the station as a shell would.
    static bool send(QProcess &sim, int signal)
    {
        return ::kill(pid_t(sim.processId()), signal) == 0;
    }

private slots:
    // No program a run of the test function started (vardel-sim, the station) was caught by a
    // sanitizer; its report, whole, is in the test's output.
    void init() { caught.clear(); }
    void cleanup() { QVERIFY2(caught.isEmpty(), qPrintable(caught)); }

    void initTestCase()
    {
        QVERIFY(kChildSignalBlocked && childsignal::takeHere()); // see childsignal.h
        if (!programtimings::kShortened)
            QSKIP("the station runs here with shortened waits: configure with "
                  "-DVARDEL_TEST_TIMINGS=ON");
        base = "ttyST%1_"_q.arg(QCoreApplication::applicationPid());
        // No system bus, unless a test brings logind's stand-in.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS",
                "unix:path="_q.toUtf8() + packages.filePath("no-bus"_q).toUtf8());
        smallPackage = packages.filePath("small"_q);
        largePackage = packages.filePath("large"_q);
        // No reboot delay of their own: the reboot wait is the one the station is given.
        QVERIFY(fixture::writePackage(smallPackage) && fixture::writePackage(largePackage));
        QVERIFY(fixture::write(largePackage + "/app.bin"_q, pack::seal(QByteArray(2400, 'v'))));
        for (const QString &folder : {smallPackage, largePackage})
            QVERIFY(fixture::write(folder + "/configuration.xml"_q,
                                   fixture::signXml(fixture::unsignedXml(0), folder + "/"_q)));
        // A package with app.bin and a file whose name is too long to advertise, signed as an
        // older vardel-pack would have (this one refuses to).
        const QString longNames = packages.filePath("long"_q);
        QVERIFY(fixture::writePackage(longNames) &&
                fixture::write(longNames + "/a_file_name_far_too_long.bin"_q,
                               pack::seal(QByteArray(300, 'l'))) &&
                fixture::write(longNames + "/configuration.xml"_q,
                               fixture::signWithoutDigests(fixture::unsignedXml(0).replace(
                                   "</file>", "</file><file>a_file_name_far_too_long.bin</file>"))));
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
    // The journal has one whole record per terminal; a build with the development keys says so.
    void fourTerminals()
    {
        const Run r =
            run("--devices 4 --catalogue 123456 --at 1 --refuse-app --at 2 --refuse data"_q,
                {"--package"_q, smallPackage, "--journal"_q, "journal.txt"_q});
        QVERIFY2(r.status == 1 && r.summary["exitStatus"_q].toInt() == 1, qPrintable(r.err));
        QCOMPARE(r.terminals.size(), 4);
        const QStringList results = {kUpdated, "Erreur mirandol"_q, "Erreur chargement"_q,
                                     kUpdated};
        QCOMPARE(r.journal.size(), 4);
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
            // Where the time went, each download, and the report of a terminal not updated,
            // named after its port.
            const QJsonObject timings = t["timings"_q].toObject();
            QVERIFY(timings["totalMs"_q].toDouble() > 0 &&
                    timings["stageMs"_q].toObject().contains("hardware-read"_q) == (k != 1) &&
                    timings["stages"_q].toArray().first()["stage"_q].toString() == "starting"_q);
            const QJsonArray downloads = t["downloads"_q].toArray();
            QCOMPARE(downloads.size(), QList<int>({1, 0, 4, 1}).at(k));
            for (const QJsonValue &d : downloads) {
                QCOMPARE(d["fileName"_q].toString(), "APP.BIN"_q);
                QCOMPARE(d["bytes"_q].toInt(), t["success"_q].toBool() ? 300 : 0);
                QCOMPARE(d["complete"_q].toBool(), t["success"_q].toBool());
                QVERIFY(d["blocks"_q].toInt() == d["bytes"_q].toInt() / 100 &&
                        d["resends"_q].toInt() == 0 &&
                        (d["lineShare"_q].toDouble() > 0) == t["success"_q].toBool());
            }
            const QString report = t["report"_q].toString();
            QCOMPARE(report.isEmpty(), t["success"_q].toBool());
            QVERIFY2(report.isEmpty() || (report.endsWith("_%1_rapport.txt"_q.arg(port(k))) &&
                                          r.reports.contains(QFileInfo(report).fileName())),
                     qPrintable(report));
        }
        // The journal: the same fields, with the package, an id of its own and the host.
        QSet<QString> serials, ids;
        for (const QJsonObject &record : r.journal) {
            const QJsonObject &t =
                r.terminals.at(record["serialNumber"_q].toString().right(1).toInt() - 1);
            for (const QString &field : {"timings"_q, "downloads"_q, "report"_q})
                QCOMPARE(record[field], t[field]);
            serials << record["serialNumber"_q].toString();
            ids << record["id"_q].toString();
            QCOMPARE(record["configurationSha256"_q].toString(),
                     r.summary["configurationSha256"_q].toString());
            QCOMPARE(record["packageTitle"_q].toString(), "Mise à jour"_q);
            QVERIFY(!record["host"_q].toString().isEmpty());
            QVERIFY(QDateTime::fromString(record["start"_q].toString(), Qt::ISODateWithMs) <=
                    QDateTime::fromString(record["end"_q].toString(), Qt::ISODateWithMs));
        }
        QCOMPARE(serials.size(), 4);
        QCOMPARE(ids.size(), 4);
        QCOMPARE(r.reports.size(), 2);
        QFile configuration(smallPackage + "/configuration.xml"_q);
        QVERIFY(configuration.open(QIODevice::ReadOnly));
        QCOMPARE(r.summary["configurationSha256"_q].toString().toLatin1(),
                 QCryptographicHash::hash(configuration.readAll(), QCryptographicHash::Sha256)
                     .toHex());
        QVERIFY(
            r.err.contains("[%1] download: APP.BIN, 300 of 300 bytes, complete"_q.arg(port(3))));

        // What each terminal heard: the whole file where it was updated, the refused one never
        // got past its receiving application, the other had four downloads stopped.
        const QStringList heard = {
            "init 1+N, query 1, release 2, apps 1, info 1, auth 1, load 1, activate 1, "
            "reboot 2, hterm 1, data 3"_q,
            "init 1, query 1, release 2, reboot 1"_q,
            "init 1, query 1, release 2, apps 1, info 4, auth 4, load 4, reboot 1, hterm 1, "
            "data 4"_q};
        // A terminal that failed is left rebooting: the release sweep's first frame may fall in
        // its restart, and the second follows only an answer to the first.
        for (int k = 0; k < 4; ++k) {
            QString frames = rebootedFramesOf(r.err, port(k));
            if (k == 1 || k == 2)
                frames.replace("release 1, "_q, "release 2, "_q);
            QCOMPARE(frames, heard.at(k % 3));
        }
        // Each terminal's entries begin with its installation's start and end with its result
        // line, as the window writes them (logtexts.h), then a report when it was not updated.
        for (int k = 0; k < 4; ++k) {
            const QJsonObject &t = r.terminals.at(k);
            QString entries = entriesOf(r.log, port(k));
            const bool updated = t["success"_q].toBool();
            QVERIFY2(entries.startsWith("Total : Démarrage de l'installation - 0\n"_q),
                     qPrintable(entries));
            if (!updated) {
                QVERIFY2(entries.contains(QRegularExpression(kReportEntry.mid(1).chopped(1) + "$"_q)),
                         qPrintable(entries));
                entries = entries.left(entries.lastIndexOf(QLatin1Char('\n')));
            }
            QVERIFY2(entries.endsWith(t["result"_q].toString() + " - "_q +
                                      t["message"_q].toString() +
                                      (updated ? " - [succès]"_q : " - [échec]"_q)),
                     qPrintable(entries));
        }
        // Nothing else and nothing torn: the station's own entries around the terminals'.
        const QStringList own = r.log.filter(QRegularExpression("^[^[]"_q));
        const bool devKeys = developmentKeys();
        // banner, [development keys], package, search, four found, no sleep lock (no system bus
        // here), end banner
        QCOMPARE(own.size(), devKeys ? 10 : 9);
        QVERIFY(own.at(devKeys ? 8 : 7)
                    .startsWith("Mise en veille du PC non empêchée (pas de bus système"_q));
        QVERIFY(own.first().contains("Démarrage de l'application"_q) &&
                own.last().contains("Fin de l'application"_q));
        const QString mark = "Attention : ce programme est construit avec les clés de "
                             "développement"_q;
        QCOMPARE(own.at(1).startsWith(mark), devKeys);
        QCOMPARE(r.err.contains(mark), devKeys);
        QCOMPARE(r.summary["developmentKeys"_q].toBool(), devKeys);
    }

    // One terminal updated with the waits as shipped, and with the suite's: the shipped run
    // spends the protocol's 4 s before the hardware record is read, the suite's run does not
    // (a build whose seam leaked into the shipped waits, or whose seam is dead, fails here).
    void waits_data()
    {
        QTest::addColumn<bool>("shipped");
        QTest::newRow("shipped") << true;
        QTest::newRow("shortened") << false;
    }
    void waits()
    {
        QFETCH(bool, shipped);
        Setup setup{"--devices 1 --catalogue 123456"_q, {"--package"_q, smallPackage}, {}};
        setup.shipped = shipped;
        const Run r = run(setup);
        QVERIFY2(r.status == 0 && r.terminals.size() == 1, qPrintable(r.out + r.err));
        const QJsonObject stages = r.terminals.first()["timings"_q]["stageMs"_q].toObject();
        const double hardwareRead = stages["hardware-read"_q].toDouble();
        QVERIFY2(shipped ? hardwareRead >= 4000 : hardwareRead < 2000,
                 qPrintable(QString::number(hardwareRead)));
        QCOMPARE(rebootedFramesOf(r.err, port(0)),
                 "init 1+N, query 1, release 2, apps 1, info 1, auth 1, load 1, activate 1, "
                 "reboot 2, hterm 1, data 3"_q);
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
                                   "installed-unverified finished null null false false false"_q,
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
            "n'a pas redémarré comme prévu : il n'a pas confirmé son redémarrage et a continué de "
            "répondre sans redémarrer.\nVérifiez le terminal avant de le remettre en service. - "
            "[à vérifier]"_q,
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
    // is followed by its serial number. A third one, left out by --port, hears nothing; one
    // of the two is named by its device path.
    void renumbered()
    {
        const Run r =
            run("--devices 3 --catalogue 123456 --renumber --reboot-silence 1500"_q,
                {"--package"_q, smallPackage, "--port"_q, port(1), "--port"_q, "/dev/"_q + port(2)});
        QVERIFY2(r.status == 0, qPrintable(r.out + r.err));
        QCOMPARE(r.terminals.size(), 2);
        QCOMPARE(framesOf(r.err, port(0)), "none"_q);
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

    // The terminal says what it runs: each batch that declares entries is verified against
    // the list the terminal gives once back from its restart, or ends to check; a batch it
    // already lists is not sent, unless --reinstall; a terminal that lists every batch is
    // already up to date, a success counted apart; one that does not come back after batch 1
    // of 2, or does not list it, gets no batch 2. One terminal a run, about a second each.
    void verification_data()
    {
        QTest::addColumn<QString>("package");   // "one", "two" (batches expecting entries),
                                                // "plain" (two batches, none) or "late" (one,
                                                // with a reboot delay of 6 s)
        QTest::addColumn<QString>("terminals"); // vardel-sim's options
        QTest::addColumn<bool>("reinstall");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("ending");    // see ending()
        QTest::addColumn<QString>("heard");     // the terminal's frames, sessions as "init 1+N"
        QTest::addColumn<QString>("done");      // its last plain line
        const QString installed = "init 1+N, query 2, release 2, apps 2, info 1, auth 1, load 1, "
                                  "activate 1, reboot 2, hterm 1, data 3"_q;
        const QString unchanged = "--apps MIRANDOL:0301,PAIEMENT:120400"_q;
        const QString after = " --apps-after MIRANDOL:0301,PAIEMENT:120500"_q;
        QTest::newRow("verified") << "one"_q << unchanged + after << false << 0
                                  << "updated finished true checks:verified activated:1 "
                                     "returned:true"_q
                                  << installed << "mis à jour"_q;
        QTest::newRow("list unchanged after the reboot")
            << "one"_q << unchanged << false << 1
            << "installed-unverified finished false checks:missing activated:1 returned:true"_q
            << installed << "installé, à vérifier"_q;
        QTest::newRow("already up to date")
            << "one"_q << "--apps MIRANDOL:0301,PAIEMENT:120500"_q << false << 0
            << "up-to-date finished true checks:already-installed activated: returned:null"_q
            << "init 1, query 1, release 2, apps 1, hterm 1"_q << "déjà à jour"_q;
        QTest::newRow("up to date, --reinstall")
            << "one"_q << "--apps MIRANDOL:0301,PAIEMENT:120500"_q << true << 0
            << "updated finished true checks:verified activated:1 returned:true"_q << installed
            << "mis à jour"_q;
        const QString both = "init 1+N, query 4, release 2, apps 4, info 2, auth 2, load 2, "
                             "activate 2, reboot 4, hterm 2, data 6"_q;
        QTest::newRow("two batches verified")
            << "two"_q
            << unchanged + after + " --apps-after MIRANDOL:0301,PAIEMENT:120500,FIDELITE:0100"_q
            << false << 0
            << "updated finished true checks:verified,verified activated:1,2 returned:true"_q
            << both << "mis à jour"_q;
        QTest::newRow("two batches, the first already there")
            << "two"_q
            << "--apps MIRANDOL:0301,PAIEMENT:120500 --apps-after "
               "MIRANDOL:0301,PAIEMENT:120500,FIDELITE:0100"_q
            << false << 0
            << "updated finished true checks:already-installed,verified activated:2 "
               "returned:true"_q
            << installed << "mis à jour"_q;
        QTest::newRow("two batches, up to date")
            << "two"_q << "--apps MIRANDOL:0301,PAIEMENT:120500,FIDELITE:0100"_q << false << 0
            << "up-to-date finished true checks:already-installed,already-installed activated: "
               "returned:null"_q
            << "init 1, query 1, release 2, apps 1, hterm 1"_q << "déjà à jour"_q;
        QTest::newRow("two batches, the first not listed")
            << "two"_q << unchanged << false << 1
            << "installed-unverified verification false checks:missing,not-checked activated:1 "
               "returned:true"_q
            << installed << "installé, à vérifier"_q;
        QTest::newRow("never back after batch 1 of 2")
            << "plain"_q << "--reboot-silence 90000"_q << false << 1
            << "installed-unverified reboot-wait null checks: activated:1 returned:false"_q
            // The release finds it still silent.
            << "init 1+N, query 1, release 1, apps 1, info 1, auth 1, load 1, activate 1, "
               "reboot 2, hterm 1, data 3"_q
            << "installé, à vérifier"_q;
        // Answering for 3 s after its reboot is not being back: its list is still the old one.
        QTest::newRow("answers for 3 s after its reboot, then restarts")
            << "late"_q << unchanged + after + " --restart-after 3000"_q << false << 0
            << "updated finished true checks:verified activated:1 returned:true"_q << installed
            << "mis à jour"_q;
    }
    void verification()
    {
        QFETCH(QString, package);
        QFETCH(QString, terminals);
        QFETCH(bool, reinstall);
        QFETCH(QString, heard);
        QFETCH(QString, done);
        const QStringList expected{"PAIEMENT120500"_q};
        const QString folder =
            package == "one"_q ? packageWith("one"_q, batch(1, expected))
            : package == "two"_q
                ? packageWith("two"_q, batch(1, expected) + batch(2, {"FIDELITE0100"_q}))
            : package == "plain"_q ? packageWith("plain"_q, batch(1) + batch(2))
                                   : packageWith("late"_q, batch(1, expected), 6000);
        QVERIFY(!folder.isEmpty());
        QStringList station{"--package"_q, folder};
        if (reinstall)
            station << "--reinstall"_q;
        const Run r = run("--devices 1 --catalogue 123456 "_q + terminals, station);
        QTEST(r.status, "status");
        QCOMPARE(r.terminals.size(), 1);
        const QJsonObject &t = r.terminals.first();
        QTEST(ending(t), "ending");
        QCOMPARE(rebootedFramesOf(r.err, port(0)), heard);
        QCOMPARE(t["success"_q].toBool(), r.status == 0);
        QCOMPARE(t["reinstall"_q].toBool(), reinstall);
        QVERIFY2(r.out.contains(QRegularExpression("\\d  %1 +TVX00001 +%2\n"_q.arg(
                     port(0), QRegularExpression::escape(done)))),
                 qPrintable(r.out));
        // The lists before and after, as read; the expected entries and what the terminal
        // listed when each batch was judged.
        QCOMPARE(t["applicationsBefore"_q].toArray().isEmpty(), false);
        const QJsonArray checks = t["batchChecks"_q].toArray();
        for (const QJsonValue &check : checks) {
            const QString state = check["state"_q].toString();
            QCOMPARE(check["expected"_q].toArray().first().toString(),
                     check["batch"_q].toInt() == 1 ? "PAIEMENT120500"_q : "FIDELITE0100"_q);
            QCOMPARE(check["listed"_q].isNull(), state == "not-checked"_q);
            QCOMPARE(check["listed"_q].toArray().contains(check["expected"_q].toArray().first()),
                     state == "verified"_q || state == "already-installed"_q);
        }
        const QString entries = entriesOf(r.log, port(0));
        if (t["outcome"_q] == "installed-unverified"_q) {
            QVERIFY2(t["message"_q].toString().contains("Vérifiez le terminal"_q) &&
                         entries.contains("[à vérifier]"_q),
                     qPrintable(entries));
            if (t["activatedBatches"_q].toArray().size() == 1 && package != "one"_q)
                QVERIFY(t["message"_q].toString().contains(
                    "Le lot 1 a été activé sur le terminal ; le lot 2 n'a pas été installé."_q));
        }
        if (t["outcome"_q] == "up-to-date"_q) {
            QVERIFY2(entries.endsWith("Terminal déjà à jour - "_q + t["message"_q].toString() +
                                      " - [déjà à jour]"_q),
                     qPrintable(entries));
            QVERIFY(t["applicationsAfter"_q].isNull() && t["report"_q].isNull());
        }
        if (t["outcome"_q] == "updated"_q)
            QCOMPARE(t["applicationsAfter"_q].toArray().last().toString(),
                     package == "two"_q ? "FIDELITE0100"_q : "PAIEMENT120500"_q);
    }

    // Three terminals of one run: updated and verified, installed but not listing what the
    // package declares, already up to date. The summary counts them apart, the JSON says each
    // one's lists and checks, the journal keeps the same fields.
    void verifiedUnverifiedUpToDate()
    {
        const QString folder = packageWith("one"_q, batch(1, {"PAIEMENT120500"_q}));
        const Run r = run("--devices 3 --catalogue 123456 --at 0 --apps-after "
                          "MIRANDOL:0301,PAIEMENT:120500 --at 2 --apps "
                          "MIRANDOL:0301,PAIEMENT:120500"_q,
                          {"--package"_q, folder, "--journal"_q, "journal.txt"_q});
        QVERIFY2(r.status == 1, qPrintable(r.out + r.err));
        QCOMPARE(r.terminals.size(), 3);
        QVERIFY2(r.out.contains("\nTerminaux : 1 mis à jour, 1 déjà à jour, 1 à vérifier, 0 en "
                                "échec\n"_q),
                 qPrintable(r.out));
        const QStringList outcomes{"updated"_q, "installed-unverified"_q, "up-to-date"_q};
        const QList<QStringList> after{
            {"MIRANDOL0301"_q, "PAIEMENT120500"_q}, {"MIRANDOL0301"_q, "PAIEMENT120400"_q}, {}};
        for (int k = 0; k < 3; ++k) {
            const QJsonObject &t = r.terminals.at(k);
            QCOMPARE(t["outcome"_q].toString(), outcomes.at(k));
            QCOMPARE(t["verified"_q].toBool(), k != 1);
            QStringList listed;
            for (const QJsonValue &v : t["applicationsAfter"_q].toArray())
                listed << v.toString();
            QCOMPARE(listed, after.at(k));
            QCOMPARE(t["applicationsAfter"_q].isNull(), k == 2);
            // The journal's record holds the same.
            for (const QJsonObject &record : r.journal) {
                if (record["serialNumber"_q] == t["serialNumber"_q]) {
                    for (const char *field : {"outcome", "verified", "batchChecks",
                                              "applicationsBefore", "applicationsAfter",
                                              "reinstall", "message"})
                        QCOMPARE(record[QLatin1String(field)], t[QLatin1String(field)]);
                }
            }
        }
        QCOMPARE(r.terminals.at(1)["message"_q].toString(),
                 "Les fichiers ont été installés et le terminal a redémarré, mais sa mise à jour "
                 "n'est pas vérifiée : après le lot 1, il devait lister PAIEMENT120500 ; il liste "
                 "MIRANDOL0301, PAIEMENT120400.\nVérifiez le terminal avant de le remettre en "
                 "service."_q);
        QCOMPARE(r.terminals.at(0)["message"_q].toString(),
                 "Le terminal a été correctement mis à jour.\nMise à jour vérifiée : le terminal "
                 "liste PAIEMENT120500."_q);
        QCOMPARE(r.journal.size(), 3);
    }

    // A terminal's failure at the station, played back by vardel-sim from its report: the
    // station ends it the same way and logs the same entries (the times aside), and the replay
    // finds every frame as recorded.
    void replayed()
    {
        const Run first = run("--devices 1 --catalogue 123456 --refuse auth"_q,
                              {"--package"_q, smallPackage});
        QCOMPARE(first.terminals.size(), 1);
        const QString name = QFileInfo(first.terminals.first()["report"_q].toString()).fileName();
        QVERIFY2(first.reports.contains(name), qPrintable(name));
        QTemporaryDir kept;
        const QString report = kept.filePath(name);
        QVERIFY(fixture::write(report, first.reports.value(name)));

        const Run second = run("--devices 1 --replay "_q + report, {"--package"_q, smallPackage});
        QCOMPARE(second.terminals.size(), 1);
        for (const QString &field : {"outcome"_q, "stage"_q, "cause"_q, "result"_q, "message"_q})
            QCOMPARE(second.terminals.first()[field], first.terminals.first()[field]);
        const auto comparable = [this](const Run &r) {
            QString entries = entriesOf(r.log, port(0));
            entries.replace(QRegularExpression("\\d+ (ms|o/s|% des)"_q), "N \\1"_q);
            entries.replace(QRegularExpression("(Rapport de diagnostic enregistré : )\\S+"_q),
                            "\\1REPORT"_q);
            return entries;
        };
        QCOMPARE(comparable(second), comparable(first));
        QVERIFY2(second.err.contains(" as recorded, 0 differing, 0 data blocks answered for "
                                     "dropped exchanges, "_q),
                 qPrintable(second.err));
    }

    // A USB serial number that two devices report is never followed: the update goes to the
    // port the terminal was found on, the other device hears nothing, and the log says that
    // the terminal is followed by its USB socket. Once with a device that is not a terminal (another
    // maker's), once with --port naming one of two terminals.
    void sharedSerialNumber_data()
    {
        QTest::addColumn<QString>("terminals");
        QTest::addColumn<QString>("ports"); // --port, or none
        QTest::addColumn<int>("updated");   // the device that must be updated
        QTest::addColumn<int>("silent");    // the one that must hear nothing
        QTest::newRow("not a terminal")
            << "--devices 2 --at 0 --vendor Acme --serial 0001 --at 1 --serial 0001"_q
            << QString() << 1 << 0;
        QTest::newRow("port named") << "--devices 2 --serial 0001"_q << "1"_q << 1 << 0;
    }
    void sharedSerialNumber()
    {
        QFETCH(QString, terminals);
        QFETCH(QString, ports);
        QFETCH(int, updated);
        QFETCH(int, silent);
        QStringList station{"--package"_q, smallPackage};
        if (!ports.isEmpty())
            station << "--port"_q << port(ports.toInt());
        const Run r = run("--catalogue 123456 "_q + terminals, station);
        QVERIFY2(r.status == 0, qPrintable(r.out + r.err));
        QCOMPARE(r.terminals.size(), 1);
        QCOMPARE(r.terminals.first()["port"_q].toString(), port(updated));
        QCOMPARE(framesOf(r.err, port(silent)), "none"_q);
        QVERIFY(r.err.contains("[%1] download: APP.BIN, 300 of 300 bytes, complete"_q.arg(
            port(updated))));
        const QString entries = entriesOf(r.log, port(updated));
        // Device k is in USB socket 1-(k+2).
        QVERIFY2(entries.startsWith("Numéro de série 0001 porté par 2 ports : le terminal est "
                                    "suivi par sa prise USB 1-%1\n"_q.arg(updated + 2)) &&
                     !entries.contains("Terminal retrouvé"_q),
                 qPrintable(entries));
    }

    // Terminals that appear a few seconds after the station starts (behind a card reader, or
    // plugged a second late) are found by the searches that follow, and updated.
    void lateTerminals()
    {
        const Run r = run("--devices 2 --catalogue 123456 --plug-at 3000"_q,
                          {"--package"_q, smallPackage});
        QVERIFY2(r.status == 0, qPrintable(r.out + r.err));
        QCOMPARE(r.terminals.size(), 2);
        for (const QJsonObject &t : r.terminals)
            QCOMPARE(t["result"_q].toString(), kUpdated);
    }

    // A stop signal in each phase: during the package read (a configuration that takes long to
    // read), the search for terminals (none there yet), a paced download, and the reboot wait.
    // The run ends soon after: no new terminal, downloads released without activation,
    // activated terminals finished; the summary, the JSON, the log's end banner; exit 1. A
    // second signal, in the reboot wait, stops waiting: the terminal is not checked.
    void stopSignal_data()
    {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("twice");
        QTest::addColumn<QString>("terminals");
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("result"); // of each terminal; none when none was found
        QTest::addColumn<bool>("shipped");   // the shipped waits: a real reboot wait
        const QString paced = "--devices 2 --catalogue 123456 --pace-9600 --work 30"_q;
        const QString interrupted = "Installation interrompue"_q;
        QTest::newRow("package SIGTERM") << "package"_q << SIGTERM << false << "--devices 1"_q
                                         << "slow"_q << QString() << false;
        QTest::newRow("search SIGHUP")
            << "search"_q << SIGHUP << false << "--devices 1 --unplugged"_q << "small"_q
            << QString() << false;
        QTest::newRow("download SIGINT")
            << "download"_q << SIGINT << false << paced << "large"_q << interrupted << false;
        // In the reboot wait of the shipped program (40 s, tries a second apart): the terminal
        // comes back 4 s after its reboot, and the signal does not cut the wait short.
        QTest::newRow("reboot SIGTERM")
            << "reboot"_q << SIGTERM << false
            << "--devices 1 --catalogue 123456 --reboot-silence 4000"_q << "small"_q << kUpdated
            << true;
        QTest::newRow("reboot SIGQUIT twice")
            << "reboot"_q << SIGQUIT << true
            << "--devices 1 --catalogue 123456 --reboot-silence 600000"_q << "small"_q
            << "Terminal installé, à vérifier"_q << false;
    }
    void stopSignal()
    {
        QFETCH(QString, phase);
        QFETCH(int, signal);
        QFETCH(bool, twice);
        QFETCH(QString, terminals);
        QFETCH(QString, package);
        QFETCH(QString, result);
        QFETCH(bool, shipped);
        const QString folder = package == "small"_q   ? smallPackage
                               : package == "large"_q ? largePackage
                                                      : slowPackage();
        QElapsedTimer sinceSignal;
        int sent = 0;
        Setup setup{terminals, {"--package"_q, folder, "--wait"_q, "60"_q}, {}};
        setup.shipped = shipped;
        setup.during = [&](During &now) {
            if (sent == 1 && twice && sinceSignal.elapsed() > 1200) {
                sent += send(now.sim, signal) ? 1 : 0;
                return true;
            }
            if (sent > 0)
                return sent > 1 || !twice;
            if (!reached(phase, now))
                return false;
            sinceSignal.start();
            sent += send(now.sim, signal) ? 1 : 0;
            return !twice;
        };
        const Run r = run(setup);
        const qint64 endedAfter = sinceSignal.elapsed();
        QVERIFY2(sent == (twice ? 2 : 1) && r.status == 1, qPrintable(r.out + r.err));
        // Well before the 60 s of --wait, the 40 s of a shipped reboot wait or a slow package
        // read.
        QVERIFY2(endedAfter < 20000, qPrintable(QString::number(endedAfter)));
        QVERIFY(r.summary["interrupted"_q].toBool());
        QCOMPARE(r.summary["exitStatus"_q].toInt(), 1);
        QVERIFY(r.log.last().contains("Fin de l'application"_q));
        const QString name = QString::fromLatin1(signal == SIGINT    ? "SIGINT"
                                                 : signal == SIGTERM ? "SIGTERM"
                                                 : signal == SIGHUP  ? "SIGHUP"
                                                                     : "SIGQUIT");
        QVERIFY(r.log.contains("Interruption demandée (%1) : les terminaux en téléchargement "
                               "sont libérés sans activation"_q.arg(name)));
        if (result.isEmpty()) {
            QCOMPARE(r.terminals.size(), 0);
            QVERIFY(r.out.contains("Aucun terminal n'a été mis à jour."_q));
            QCOMPARE(framesOf(r.err, port(0)), "none"_q);
            return;
        }
        QCOMPARE(r.terminals.size(), words(terminals).at(1).toInt());
        for (int k = 0; k < r.terminals.size(); ++k) {
            QCOMPARE(r.terminals.at(k)["result"_q].toString(), result);
            const QString frames = framesOf(r.err, port(k));
            if (phase == "download"_q) {
                // Part of the file, the release, never an activation.
                QVERIFY2(frames.contains("release 2"_q) && !frames.contains("activate"_q) &&
                             !frames.contains("reboot"_q),
                         qPrintable(r.err));
                QVERIFY(r.err.contains(QRegularExpression(
                    "\\[%1\\] download: APP\\.BIN, \\d+ of 2400 bytes, incomplete"_q.arg(
                        port(k)))));
                // The interruption, the figures (the download unfinished), the result, the
                // report.
                const QRegularExpression stopped(
                    QRegularExpression::escape(
                        "Installation interrompue avant l'activation des fichiers\n"_q) +
                    "Durées de l'installation : [^\n]*\nTéléchargement de APP\\.BIN \\(lot 1, "
                    "fichier 1, essai 1, inachevé\\) : [^\n]*\n"_q +
                    QRegularExpression::escape(
                        "Installation interrompue - L'installation a été interrompue avant "
                        "l'activation des fichiers.\nVeuillez relancer la mise à jour du "
                        "terminal. - [échec]"_q) +
                    "\nRapport de diagnostic enregistré : \\S+_%1_rapport\\.txt$"_q.arg(port(k)));
                const QString entries = entriesOf(r.log, port(k));
                QVERIFY2(entries.contains(stopped), qPrintable(entries));
            } else {
                // Activated and rebooted: the reboot is not cut.
                QVERIFY2(frames.contains("activate 1"_q) && frames.contains("reboot"_q),
                         qPrintable(r.err));
                const bool waited = !entriesOf(r.log, port(k))
                                         .contains("Attente du retour du terminal abandonnée"_q);
                QCOMPARE(waited, !twice);
                // Not waited for: installed, not checked.
                QCOMPARE(r.terminals.at(k)["outcome"_q].toString(),
                         twice ? "installed-unverified"_q : "updated"_q);
                QCOMPARE(r.terminals.at(k)["returned"_q].toBool(), !twice);
                QCOMPARE(r.terminals.at(k)["message"_q].toString().contains(
                             "l'attente de son retour a été abandonnée à la demande de "
                             "l'utilisateur"_q),
                         twice);
            }
        }
    }

    // A closed standard output (vardel-station --list | true, a reader gone) stops the
    // printing, never the work: the terminals are listed or updated, the log and the JSON
    // summary are written whole, and the exit status is the run's.
    void closedOutput_data()
    {
        QTest::addColumn<bool>("list");
        QTest::newRow("--list") << true;
        QTest::newRow("update") << false;
    }
    void closedOutput()
    {
        QFETCH(bool, list);
        int pipe[2];
        QVERIFY(::pipe2(pipe, O_CLOEXEC) == 0);
        ::close(pipe[0]); // no reader: every write fails with EPIPE, or kills with SIGPIPE
        Setup setup{"--devices 2 --catalogue 123456"_q, {"--package"_q, smallPackage}, {}};
        if (list)
            setup.station << "--list"_q;
        setup.output = pipe[1];
        const Run r = run(setup);
        ::close(pipe[1]);
        QVERIFY2(r.status == 0, qPrintable(QString::number(r.status) + r.err));
        QVERIFY(r.log.last().contains("Fin de l'application"_q));
        QCOMPARE(r.terminals.size(), list ? 0 : 2);
        for (const QJsonObject &t : r.terminals)
            QCOMPARE(t["result"_q].toString(), kUpdated);
    }

    // --watch, as a workshop uses it: one terminal plugged at a time. Each is updated once; the
    // first one, plugged in again after its update, is not updated again and the display says
    // so; Ctrl-C ends the session with the summary, every terminal in the JSON and the journal.
    void watch()
    {
        int step = 0;
        const auto plug = [](QProcess &sim, const char *lines) {
            return sim.write(lines) == qint64(qstrlen(lines));
        };
        const Run r =
            run(Setup{"--devices 3 --catalogue 123456 --control --at 1 --unplugged --at 2 "
                      "--unplugged"_q,
                      {"--package"_q, smallPackage, "--watch"_q, "--journal"_q, "journal.txt"_q},
                      [&](During &now) {
                          const auto done = [&](int k) {
                              return now.out.contains(QRegularExpression(
                                  " TVX0000%1 +mis à jour\\n"_q.arg(k + 1)));
                          };
                          if (step == 0 && done(0))
                              step += plug(now.sim, "unplug 0\nplug 1\n") ? 1 : 100;
                          else if (step == 1 && done(1))
                              step += plug(now.sim, "unplug 1\nplug 0\n") ? 1 : 100;
                          else if (step == 2 &&
                                   now.out.contains(QRegularExpression(
                                       " TVX00001 +mis à jour : rebranché, déjà mis à jour"_q)))
                              step += plug(now.sim, "plug 2\n") ? 1 : 100;
                          else if (step == 3 && done(2))
                              step += send(now.sim, SIGINT) ? 1 : 100;
                          return step >= 4;
                      },
                      {},
                      -1,
                      180000});
        QVERIFY2(step == 4 && r.status == 0, qPrintable(r.out + r.err));
        QVERIFY(!r.summary["interrupted"_q].toBool());
        QCOMPARE(r.terminals.size(), 3);
        QCOMPARE(r.journal.size(), 3);
        for (int k = 0; k < 3; ++k) {
            QCOMPARE(r.terminals.at(k)["result"_q].toString(), kUpdated);
            QCOMPARE(r.journal.at(k)["serialNumber"_q].toString(), "TVX0000%1"_q.arg(k + 1));
            QCOMPARE(r.err.count(QRegularExpression(
                         "\\[%1( -> \\S+)?\\] download: APP.BIN, 300 of 300 bytes, complete"_q.arg(
                             port(k)))),
                     1);
        }
        QVERIFY2(r.log.filter(QRegularExpression("^Terminal TVX00001 rebranché sur \\S+ - "
                                                 "\\(Terminal USB\\) après son passage : il "
                                                 "n'est pas mis à jour une seconde fois$"_q))
                         .size() == 1,
                 qPrintable(r.log.join(QLatin1Char('\n'))));
    }

    // A journal survives the station's sudden death (kill -9, a power cut): the terminals
    // that had finished are in it, one whole line each, and nothing else.
    void journalSurvivesKill()
    {
        pid_t killed = 0;
        const Run r = run(
            "--devices 3 --catalogue 123456 --at 0 --refuse-app --at 2 --pace-9600 --work 150"_q,
            {"--package"_q, largePackage, "--journal"_q, "journal.txt"_q}, [&](During &now) {
                // Two terminals done, the paced one in its download.
                if (now.journal.count(QLatin1Char('\n')) < 2 ||
                    !now.out.contains(QRegularExpression(port(2) + " .* APP\\.BIN +\\d+ %"_q)))
                    return false;
                killed = stationOf(now.sim);
                return killed > 0 && ::kill(killed, SIGKILL) == 0;
            });
        QVERIFY2(killed > 0 && r.status == 128 + SIGKILL, qPrintable(r.out + r.err));
        QCOMPARE(r.journalLines.size(), 3); // two lines, then nothing after the last '\n'
        QVERIFY(r.journalLines.last().isEmpty());
        QStringList serials;
        for (const QJsonObject &record : r.journal)
            serials << record["serialNumber"_q].toString();
        serials.sort();
        QCOMPARE(serials, (QStringList{"TVX00001"_q, "TVX00002"_q}));
        QVERIFY(r.err.contains(QRegularExpression(
            "\\[%1\\] download: APP\\.BIN, \\d+ of 2400 bytes, incomplete"_q.arg(port(2)))));
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
                          {"--package"_q, largePackage}, [&](During &now) {
                              // Both terminals in their download.
                              if (!reached("download"_q, now))
                                  return false;
                              held = logind.inhibitors();
                              if (interrupt)
                                  send(now.sim, SIGINT);
                              return true;
                          });
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", previous);
        QVERIFY2(r.status == (interrupt ? 1 : 0), qPrintable(r.out + r.err));
        QCOMPARE(held, QStringList{"sleep:idle:handle-lid-switch|Vardel|Mise à jour d'un "
                                   "terminal en cours|block"_q});
        bool answered = false;
        QTRY_VERIFY_WITH_TIMEOUT(logind.inhibitors(&answered).isEmpty() && answered, 20000);
        QVERIFY(!r.log.join(QLatin1Char('\n')).contains("Mise en veille du PC"_q));
    }

    // Nothing starts, with a French message on standard error and the status 2, before any
    // terminal hears anything and before the card readers are switched (the first search logs
    // its start): bad arguments, a refused package (with the reason the program logs; among them
    // a package one of whose files changed after signing), a JSON summary or journal that cannot
    // be written, a log that cannot be opened or written. --list shows what would be updated and
    // installs nothing.
    void cannotStart_data()
    {
        QTest::addColumn<QString>("terminals"); // vardel-sim's options
        QTest::addColumn<QString>("arguments"); // the station's, after --package
        QTest::addColumn<QString>("log");       // in place of the log: a folder, or /dev/full
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // on standard error, or standard output for --list
        QTest::addColumn<bool>("searched");
        const QString two = "--devices 2"_q;
        QTest::newRow("bad option")
            << two << "--bogus"_q << QString() << 2
            << "vardel-station : option inconnue : --bogus"_q << false;
        QTest::newRow("bad wait")
            << two << "--wait -1"_q << QString() << 2
            << "--wait attend un nombre de secondes (0 ou plus) : -1"_q << false;
        QTest::newRow("no terminal") << "--vendor Acme"_q << "--wait 0"_q << QString() << 2
                                     << "vardel-station : aucun terminal détecté."_q << true;
        QTest::newRow("invalid package")
            << two << "--package "_q + packages.filePath("none"_q) << QString() << 2
            << "ne peut pas être installé : Le fichier de configuration ("_q +
                   packages.filePath("none/configuration.xml"_q) + ") est introuvable : refusé."_q
            << false;
        for (const auto &file : fixture::files())
            QTest::addRow("%s changed", qPrintable(file.first))
                << two << "--package "_q + packages.filePath("swapped-"_q + file.first)
                << QString() << 2
                << file.first + "\" ne correspond pas au package signé : son empreinte "_q << false;
        // A file the terminal cannot be told of: the package is refused (it used to be sent
        // without that file, and the terminal called updated).
        QTest::newRow("name too long to advertise")
            << two << "--package "_q + packages.filePath("long"_q) << QString() << 2
            << "ne peut pas être annoncé au terminal : son nom A_FILE_NAME_FAR_TOO_LONG.BIN (28 "
               "octets) et sa longueur 000300 dépassent 28 octets"_q
            << false;
        QTest::newRow("unknown port") << two << "--wait 0 --port ttyNONE"_q << QString() << 2
                                      << "aucun terminal détecté sur : ttyNONE."_q << true;
        QTest::newRow("JSON folder missing")
            << two << "--json /nonexistent/dir/s.json"_q << QString() << 2
            << "le bilan JSON ne pourra pas être écrit dans /nonexistent/dir/s.json : le "
               "dossier /nonexistent/dir n'existe pas."_q
            << false;
        QTest::newRow("JSON is a folder")
            << two << "--json /tmp"_q << QString() << 2
            << "le bilan JSON ne pourra pas être écrit dans /tmp : /tmp est un dossier."_q
            << false;
        QTest::newRow("journal folder missing")
            << two << "--journal /nonexistent/dir/j.txt"_q << QString() << 2
            << "le journal /nonexistent/dir/j.txt ne peut pas être ouvert : le dossier "
               "n'existe pas."_q
            << false;
        QTest::newRow("journal is a folder")
            << two << "--journal /tmp"_q << QString() << 2
            << "le journal /tmp ne peut pas être ouvert : un dossier porte ce nom."_q << false;
        QTest::newRow("journal is a FIFO")
            << two << "--journal fifo"_q << QString() << 2
            << "le journal fifo ne peut pas être ouvert : ce n'est pas un fichier ordinaire."_q
            << false;
        QTest::newRow("log is a folder") << two << QString() << "folder"_q << 2
                                         << "(un dossier porte ce nom) ; rien n'a été fait."_q
                                         << false;
        QTest::newRow("log is a FIFO") << two << QString() << "fifo"_q << 2
                                       << "(un tube nommé porte ce nom) ; rien n'a été fait."_q
                                       << false;
        QTest::newRow("log on a full disk")
            << two << QString() << "/dev/full"_q << 2
            << "le fichier de log ne peut pas être écrit : "_q << false;
        QTest::newRow("list") << two << "--list"_q << QString() << 0
                              << "valide : « Mise à jour », 1 lot(s), 1 fichier(s)\n"
                                 "2 terminal(aux) détecté(s) :"_q
                              << true;
    }
    void cannotStart()
    {
        QFETCH(QString, terminals);
        QFETCH(QString, arguments);
        QFETCH(QString, log);
        QFETCH(QString, said);
        QFETCH(bool, searched);
        const QString logName = QDate::currentDate().toString("yyyyMMdd"_q) + "_logs.txt"_q;
        Setup setup{terminals, QStringList{"--package"_q, smallPackage} + words(arguments), {}};
        setup.before = [&](const QString &work) {
            const QString path = work + QLatin1Char('/') + logName;
            const auto fifo = [](const QString &name) {
                return ::mkfifo(QFile::encodeName(name).constData(), 0600) == 0;
            };
            return fifo(work + "/fifo"_q) &&
                   (log.isEmpty() || (log == "folder"_q ? QDir().mkdir(path)
                                      : log == "fifo"_q ? fifo(path)
                                                        : QFile::link(log, path)));
        };
        const Run r = run(setup);
        QTEST(r.status, "status");
        QVERIFY2((r.status == 0 ? r.out : r.err).contains(said), qPrintable(r.out + r.err));
        // No terminal heard a single frame, as vardel-sim's summary says.
        QCOMPARE(r.err.count("frames: none"_q), terminals.startsWith("--devices 2"_q) ? 2 : 1);
        if (log.isEmpty() && !arguments.startsWith("--bogus"_q) &&
            !arguments.startsWith("--wait -1"_q)) {
            QCOMPARE(r.log.contains(kSearchLine), searched);
            QVERIFY(r.log.last().contains("Fin de l'application"_q));
        }
        // The JSON summary, when it can be written: the package's verdict, no terminal.
        if (r.status == 2 && !r.summary.isEmpty()) {
            QCOMPARE(r.summary["exitStatus"_q].toInt(), 2);
            QVERIFY(r.summary["terminals"_q].toArray().isEmpty());
            QCOMPARE(r.summary["packageValid"_q].toBool(), !arguments.startsWith("--package"_q));
            const QString verdict = r.summary["packageVerdict"_q].toString();
            QVERIFY2((said.contains(verdict) || verdict.contains(said)) ==
                         arguments.startsWith("--package"_q),
                     qPrintable(verdict));
        }
        const bool json = arguments == "--wait 0"_q || arguments.startsWith("--package"_q) ||
                          arguments.startsWith("--wait 0 --port"_q);
        QCOMPARE(!r.summary.isEmpty(), json);
    }

    // The JSON summary that cannot be written at the end (its folder went away during the run)
    // is a failure of the run: exit 1 and the reason, the terminal updated all the same.
    void jsonLostDuringRun()
    {
        Setup setup{"--devices 1 --catalogue 123456"_q, {"--package"_q, smallPackage}, {}};
        setup.before = [](const QString &work) { return QDir(work).mkdir("out"_q); };
        bool removed = false;
        setup.station << "--json"_q << "out/s.json"_q;
        setup.during = [&](During &now) {
            if (!now.out.contains("démarrage"_q))
                return false;
            removed = QDir(now.work + "/out"_q).removeRecursively();
            return true;
        };
        const Run r = run(setup);
        QVERIFY2(removed && r.status == 1, qPrintable(r.out + r.err));
        QVERIFY2(r.err.contains("vardel-station : le bilan JSON ne peut pas être écrit dans "
                                "out/s.json"_q),
                 qPrintable(r.err));
        QVERIFY(r.out.contains(QRegularExpression("\\n%1 +TVX00001 +%2 "_q.arg(port(0), kUpdated))));
    }

    // On a terminal 8 rows high, seven terminals do not fit: every drawing keeps the header on
    // its first line, is at most 7 lines tall (it never scrolls) and shows the counts (which
    // terminals come first: tst_stationdisplay); the summary follows in full.
    void liveDisplayFitsHeight()
    {
        int master = -1;
        int slave = -1;
        winsize size{};
        size.ws_row = 8;
        size.ws_col = 120;
        QVERIFY(::openpty(&master, &slave, nullptr, nullptr, &size) == 0);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        QByteArray screen;
        const auto drain = [&] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
                screen.append(buffer, int(n));
        };
        // One terminal on a paced line keeps the run going for a few drawings.
        Setup setup{"--devices 7 --catalogue 123456 --at 6 --refuse-app --at 5 --pace-9600 "
                    "--work 30"_q,
                    {"--package"_q, smallPackage},
                    [&](During &) {
                        drain(); // the pty must not fill up
                        return false;
                    }};
        setup.output = slave;
        const Run r = run(setup);
        ::close(slave);
        drain();
        ::close(master);
        QVERIFY2(r.status == 1, qPrintable(r.err));
        const QString text = QString::fromUtf8(screen);
        const int summary = text.indexOf("N° de série"_q);
        QVERIFY(summary > 0);
        const QStringList drawings =
            text.left(summary).split("\x1b[J"_q, Qt::SkipEmptyParts); // each ends so
        QVERIFY(drawings.size() > 3);
        const QRegularExpression counts(
            "^en attente : \\d+   en cours : \\d+   mis à jour : \\d+   à vérifier : \\d+   "
            "en échec : \\d+$"_q);
        for (const QString &drawing : drawings.mid(0, drawings.size() - 1)) {
            QStringList lines = drawing.split("\r\x1b[2K"_q);
            lines.removeFirst(); // the cursor moves up before the first line
            if (lines.isEmpty())
                continue; // a drawing wiped for a message
            QVERIFY2(lines.size() <= 7 && lines.first().startsWith("Port"_q),
                     qPrintable(drawing));
            QVERIFY2(counts.match(lines.at(1).trimmed()).hasMatch(), qPrintable(drawing));
        }
        QCOMPARE(text.mid(summary).count(QRegularExpression(" TVX0000\\d "_q)), 7);
    }

    // --watch with terminals that come back from their reboot under another port name, or
    // share a serial number: each terminal is installed once. One without a serial number is
    // followed in its USB socket; back in another socket, it cannot be told from a new one: it
    // is not taken on while its job waits, and after it is taken for that terminal (not updated
    // again, and the person is told). Two devices with the same serial number are told apart by
    // their sockets: one renumbering keeps its job, and a terminal updated and still plugged in
    // is not updated again when the other is plugged in.
    void watchIdentity_data()
    {
        QTest::addColumn<QString>("terminals");
        QTest::addColumn<int>("plugAfter");    // device plugged in once a record is journaled
        QTest::addColumn<QString>("outcomes"); // of each device, in order
        QTest::addColumn<QString>("logged");   // a log entry, with %1: device 0's last port
        QTest::newRow("no serial number, back in its socket")
            << "--devices 1 --serial '' --renumber --reboot-silence 500"_q << -1 << "updated"_q
            << "[%2] Terminal retrouvé sur %1 - (Terminal USB) (prise USB 1-2)"_q;
        QTest::newRow("no serial number, back in another socket")
            << "--devices 1 --serial '' --renumber --other-socket --reboot-silence 500"_q << -1
            << "installed-unverified"_q
            << "[%2] Le terminal n'est pas revenu là où il était attendu (prise USB 1-2) ; %1, "
               "apparu pendant l'attente, est pris pour lui et n'est pas mis à jour : "
               "débranchez-le puis rebranchez-le pour le mettre à jour"_q;
        QTest::newRow("shared serial number, one renumbered")
            << "--devices 2 --serial 0001 --reboot-silence 500 --at 0 --renumber"_q << -1
            << "updated updated"_q
            << "[%2] Terminal retrouvé sur %1 - (Terminal USB) (prise USB 1-2)"_q;
        QTest::newRow("shared serial number, plugged in after the other's update")
            << "--devices 2 --serial 0001 --control --at 1 --unplugged"_q << 1
            << "updated updated"_q
            << "[%3] Numéro de série 0001 porté par 2 ports : le terminal est suivi par sa "
               "prise USB 1-3"_q;
    }
    void watchIdentity()
    {
        QFETCH(QString, terminals);
        QFETCH(int, plugAfter);
        QFETCH(QString, outcomes);
        QFETCH(QString, logged);
        const int devices = outcomes.count(QLatin1Char(' ')) + 1;
        QElapsedTimer allDone;
        Setup setup{"--catalogue 123456 "_q + terminals,
                  {"--package"_q, smallPackage, "--watch"_q, "--journal"_q, "journal.txt"_q},
                  [&](During &now) {
                      const int records = now.journal.count(QLatin1Char('\n'));
                      if (plugAfter >= 0 && records == 1 &&
                          now.sim.write("plug %1\n"_q.arg(plugAfter).toLatin1()) > 0)
                          plugAfter = -1;
                      if (records < devices || now.out.count(QRegularExpression(
                                                   " (mis à jour|installé, à vérifier)"_q)) < devices)
                          return false;
                      // Long enough after the last end for a terminal taken on twice to show
                      // (the ports are listed every 0.2 s).
                      if (!allDone.isValid())
                          allDone.start();
                      return allDone.elapsed() > 1000 && send(now.sim, SIGINT);
                  },
                  {}, -1, 60000};
        // A terminal back from its reboot is found within the wait's first steps.
        setup.timings = "rebootWaitMinMs=2000"_q;
        const Run r = run(setup);
        QVERIFY2(allDone.isValid(), qPrintable(r.out + r.err));
        QCOMPARE(r.journal.size(), devices);
        QCOMPARE(r.summary["terminals"_q].toArray().size(), devices);
        // Each device taken on once (a port held back is said otherwise).
        QCOMPARE(r.log.filter(QRegularExpression("^Terminal détecté : \\S+ - \\(Terminal USB\\)$"_q))
                     .size(),
                 devices);
        QStringList ended;
        for (int k = 0; k < devices; ++k) {
            QCOMPARE(activations(framesOf(r.err, port(k))), 1);
            for (const QJsonValue &t : r.summary["terminals"_q].toArray())
                if (t["startPort"_q].toString() == port(k))
                    ended << t["outcome"_q].toString();
        }
        QCOMPARE(ended.join(QLatin1Char(' ')), outcomes);
        const QString last = QRegularExpression("\\[%1(?: -> \\S+)* -> (\\S+)\\] frames:"_q.arg(port(0)))
                                 .match(r.err)
                                 .captured(1);
        const QString entry = QString(logged)
                                  .replace("%1"_q, last)
                                  .replace("%2"_q, port(0))
                                  .replace("%3"_q, port(1));
        QVERIFY2(r.log.contains(entry), qPrintable(entry + "\n"_q + r.log.join("\n"_q)));
    }

    // A USB serial number in UTF-8, udev's encoding, is shown, logged and recorded as the
    // device reports it: on the progress lines and in the summary, in the log (the terminal is
    // found again by it after its reboot), in the JSON summary and the journal, and by --list.
    void utf8SerialNumber()
    {
        const QString serial = "E€1"_q;
        const Run r = run("--devices 1 --catalogue 123456 --renumber --reboot-silence 500 --serial "_q +
                              serial,
                          {"--package"_q, smallPackage, "--journal"_q, "journal.txt"_q});
        QVERIFY2(r.status == 0, qPrintable(r.out + r.err));
        QVERIFY2(r.out.contains(QRegularExpression("\\d\\d  %1 +E€1 +téléchargement"_q.arg(port(0)))),
                 qPrintable(r.out));
        QVERIFY2(r.out.contains(QRegularExpression("\n%1 > \\S+ +E€1 +Installation réalisée"_q.arg(
                     port(0)))),
                 qPrintable(r.out));
        QVERIFY2(!r.log.filter(QRegularExpression(
                                   "^\\[%1\\] Terminal retrouvé sur \\S+ - \\(Terminal USB\\) "
                                   "\\(numéro de série E€1\\)$"_q.arg(port(0))))
                      .isEmpty(),
                 qPrintable(r.log.join("\n"_q)));
        QCOMPARE(r.terminals.value(0)["serialNumber"_q].toString(), serial);
        QCOMPARE(r.journal.value(0)["serialNumber"_q].toString(), serial);
        const Run listed = run("--devices 1 --serial "_q + serial, {"--package"_q, smallPackage, "--list"_q});
        QVERIFY2(listed.out.contains(QRegularExpression("\n  %1 +E€1 +Tarvenix"_q.arg(port(0)))),
                 qPrintable(listed.out));
    }

    // Control characters in what a device reports (its serial number, its description) never
    // reach the person's terminal, the log or the report raw: they are shown escaped ("\x1b").
    // The JSON summary keeps the serial number as the device reported it.
    void controlCharacters_data()
    {
        QTest::addColumn<QString>("option"); // vardel-sim's
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("shown");
        QTest::newRow("serial number") << "--serial"_q << "TVX\x1b[2J\x1b]0;x\x07"_q
                                       << "TVX\\x1b[2J\\x1b]0;x\\x07"_q;
        QTest::newRow("description") << "--description"_q << "Caisse\x1b[31m\x07\x09"_q
                                     << "Caisse\\x1b[31m\\x07\\x09"_q;
    }
    void controlCharacters()
    {
        QFETCH(QString, option);
        QFETCH(QString, value);
        QFETCH(QString, shown);
        // Not updated: a report is written.
        Setup setup{"--devices 1 --refuse-app"_q, {"--package"_q, smallPackage}, {}};
        setup.terminals += " "_q + option + " "_q + value;
        const Run r = run(setup);
        setup.station << "--list"_q;
        const Run listed = run(setup);
        QVERIFY2(r.status == 1 && r.reports.size() == 1, qPrintable(r.out + r.err));
        for (const QString &text : {r.out, r.err, listed.out, listed.err,
                                    r.log.join("\n"_q),
                                    QString::fromUtf8(r.reports.first())})
            QVERIFY2(!hasControlCharacter(text), qPrintable(text));
        const QString report = QString::fromUtf8(r.reports.first());
        QVERIFY2(report.contains(option == "--serial"_q ? "numéro de série « %1 »"_q.arg(shown)
                                                        : "description « %1 »"_q.arg(shown)),
                 qPrintable(report));
        QVERIFY2(listed.out.contains(shown), qPrintable(listed.out));
        if (option == "--serial"_q) {
            QVERIFY2(r.out.contains(QRegularExpression("\n%1 +%2 +Erreur mirandol"_q.arg(
                         port(0), QRegularExpression::escape(shown)))),
                     qPrintable(r.out));
            QCOMPARE(r.terminals.value(0)["serialNumber"_q].toString(), value);
            // Not text: the terminal is followed by its socket.
            QVERIFY(r.log.contains("[%1] Numéro de série %2 inutilisable (caractères de contrôle "
                                   "ou octets qui ne sont pas du texte) : le terminal est suivi "
                                   "par sa prise USB 1-2"_q.arg(port(0), shown)));
        } else {
            QVERIFY(r.log.contains("Terminal détecté : %1 - (%2)"_q.arg(port(0), shown)));
        }
    }

    // A standard output that nobody reads (a pager on its first page, a terminal stopped with
    // Ctrl-S) holds the station's end up 2 s at most: here a pipe filled before the station
    // starts, and a terminal whose screen nobody reads. The work is done all the same.
    void stalledOutput_data()
    {
        QTest::addColumn<bool>("terminal");
        QTest::newRow("pipe") << false;
        QTest::newRow("terminal") << true;
    }
    void stalledOutput()
    {
        QFETCH(bool, terminal);
        int reader = -1;
        int writer = -1;
        if (terminal) {
            QVERIFY(::openpty(&reader, &writer, nullptr, nullptr, nullptr) == 0);
        } else {
            int ends[2];
            QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
            reader = ends[0];
            writer = ends[1];
        }
        // Full before the station writes a byte: a terminal moves what it was given on to its
        // reader's side a moment later, and takes some more then.
        ::fcntl(writer, F_SETFL, ::fcntl(writer, F_GETFL) | O_NONBLOCK);
        std::vector<char> filler(4096, 'x');
        for (bool took = true; took;) {
            took = false;
            for (const size_t size : {filler.size(), size_t(1)}) {
                while (::write(writer, filler.data(), size) > 0)
                    took = true;
            }
            QThread::msleep(50);
        }
        ::fcntl(writer, F_SETFL, ::fcntl(writer, F_GETFL) & ~O_NONBLOCK);
        QElapsedTimer clock;
        clock.start();
        qint64 ended = -1;
        qint64 exited = -1;
        pid_t station = 0;
        // The station's own end, seen from its process: vardel-sim ends after it.
        const auto gone = [](pid_t pid) {
            const QString stat = readText("/proc/%1/stat"_q.arg(pid));
            return stat.isEmpty() ||
                   stat.section(QLatin1Char(')'), -1).trimmed().startsWith(QLatin1Char('Z'));
        };
        Setup setup{"--devices 1 --catalogue 123456"_q,
                    {"--package"_q, smallPackage},
                    [&](During &now) {
                        if (station == 0)
                            station = stationOf(now.sim);
                        if (ended < 0 && now.log.contains("Fin de l'application"_q))
                            ended = clock.elapsed();
                        if (ended >= 0 && station > 0 && gone(station))
                            exited = clock.elapsed();
                        return exited >= 0;
                    },
                    {},
                    writer,
                    30000};
        const Run r = run(setup);
        ::close(writer);
        ::close(reader);
        QVERIFY2(r.status == 0 && exited >= 0, qPrintable(QString::number(r.status) + r.err));
        QCOMPARE(r.terminals.value(0)["result"_q].toString(), kUpdated);
        // 2 s, and the time to see the log's end banner and the exit, with room for a loaded
        // machine: a station waiting on its output for good never gets here.
        QVERIFY2(exited - ended < 4500, qPrintable(QString::number(exited - ended)));
    }

    // A terminal's journal line is written as soon as its installation has ended, before its
    // release frames (here 3 s long: the terminal does not answer them): a station killed
    // right after a terminal's result line has its record.
    void journalWrittenAtEnd()
    {
        QElapsedTimer sinceResult;
        qint64 killedAt = -1;
        pid_t killed = 0;
        Setup setup{"--devices 1 --catalogue 123456 --mute release"_q,
                    {"--package"_q, smallPackage, "--journal"_q, "journal.txt"_q},
                    [&](During &now) {
                        if (!now.log.contains(" - [succès]\n"_q))
                            return false;
                        if (!sinceResult.isValid())
                            sinceResult.start();
                        if (sinceResult.elapsed() < 300)
                            return false;
                        killed = stationOf(now.sim);
                        killedAt = sinceResult.elapsed();
                        return killed > 0 && ::kill(killed, SIGKILL) == 0;
                    }};
        setup.timings = "releaseTimeoutMs=3000"_q;
        const Run r = run(setup);
        QVERIFY2(killed > 0 && r.status == 128 + SIGKILL, qPrintable(r.out + r.err));
        QVERIFY2(killedAt >= 0 && killedAt < 2500, qPrintable(QString::number(killedAt)));
        QCOMPARE(r.journal.size(), 1);
        QCOMPARE(r.journal.first()["serialNumber"_q].toString(), "TVX00001"_q);
        QCOMPARE(r.journal.first()["outcome"_q].toString(), "updated"_q);
        // Killed during the release: the terminal heard the first of its two frames only.
        const QString frames = framesOf(r.err, port(0));
        QVERIFY2(frames.contains("release 1, "_q) && frames.contains("activate 1, reboot 2, "_q),
                 qPrintable(frames));
    }

private:
    // Whether the run has reached `phase`: for the package, its start; no terminal yet for
    // the search; a quarter of the file on every terminal for the download; the reboot wait.
    bool reached(const QString &phase, const During &now) const
    {
        if (phase == "package"_q)
            return now.log.contains("Démarrage de l'application"_q);
        if (phase == "search"_q)
            return now.log.contains(kSearchLine);
        if (phase == "reboot"_q) { // its first try has failed
            const int reboot = now.log.indexOf("Redémarrage du terminal en cours."_q);
            return reboot > 0 &&
                   now.log.indexOf(QRegularExpression(
                                       "Module : Veuillez patienter \\.\\.\\. - [1-9]\\d*\\n"_q),
                                   reboot) > 0;
        }
        for (int k = 0; k < 2; ++k) {
            if (!now.out.contains(
                    QRegularExpression(port(k) + " .* APP\\.BIN +(2[5-9]|[3-9]\\d) %"_q)))
                return false;
        }
        return true;
    }

    // A valid package that takes a while to read and check: its one file of the scenario is
    // decrypted and digested before any terminal is looked for. Signing the package does the
    // same check, with the same code built the same way: the file grows until signing took at
    // least a second and a half, whatever the build's speed.
    QString slowPackage()
    {
        const QString folder = packages.filePath("slow"_q);
        if (QFileInfo::exists(folder))
            return folder;
        bool written = fixture::writePackage(folder);
        QElapsedTimer signing;
        for (int size = 1 << 20; written && size <= (128 << 20); size *= 2) {
            written = fixture::write(folder + "/app.bin"_q, pack::seal(QByteArray(size, 's')));
            signing.start();
            const QByteArray xml = fixture::signXml(fixture::unsignedXml(), folder + "/"_q);
            written = written && !xml.isEmpty() && fixture::write(folder + "/configuration.xml"_q, xml);
            if (signing.elapsed() >= 1500)
                break;
        }
        if (!written)
            qWarning("the slow package could not be written");
        return folder;
    }
};

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"
