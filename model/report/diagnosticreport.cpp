// The report's sections, for a person who supports the operator.
#include "diagnosticreport.h"

#include "config/advertisement.h"
#include "config/configuration.h"
#include "model/installation/installwords.h"
#include "model/protocol/frames.h"
#include "system/buildinfo.h"
#include "system/printable.h"
#include "system/wallclock.h"

#include <QFileInfo>

namespace diagnosticreport {

namespace {

QString heading(const QString &title)
{
    return QStringLiteral("\n== ") + title + QStringLiteral(" ==\n");
}

// "Titre : texte", the text's later lines indented under its first.
QString field(const QString &name, const QString &value)
{
    QString shown = value;
    shown.replace(QLatin1Char('\n'), QStringLiteral("\n    "));
    return name + QStringLiteral(" : ") + shown + QLatin1Char('\n');
}

QString hex(const quint8 *bytes, int size)
{
    return QString::fromLatin1(
        QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), size).toHex(' '));
}

QString programSection(const ReportContent &c)
{
    QString s = heading(QStringLiteral("Programme"));
    s += field(QStringLiteral("Programme"), c.program);
    s += field(QStringLiteral("Version"), buildinfo::version() + QStringLiteral(", build ") +
                                              buildinfo::build());
    s += field(QStringLiteral("Clés"),
               c.developmentKeys ? QStringLiteral("de développement, connues de tous : ce "
                                                  "programme ne doit jamais être remis à un "
                                                  "opérateur")
                                 : QStringLiteral("celles du fabricant des packages"));
    s += field(QStringLiteral("Qt"), QString::fromLatin1(qVersion()) +
                                         QStringLiteral(" (construit avec ") +
                                         QStringLiteral(QT_VERSION_STR) + QLatin1Char(')'));
    return s;
}

QString systemSection(const SystemSurvey &sys)
{
    QString s = heading(QStringLiteral("Système"));
    s += field(QStringLiteral("Système"), sys.system);
    s += field(QStringLiteral("Noyau"), sys.kernel);
    s += field(QStringLiteral("Machine"), sys.host);
    s += field(QStringLiteral("Utilisateur"), sys.user);
    s += field(QStringLiteral("Groupes"), sys.groups.join(QStringLiteral(", ")));
    s += field(QStringLiteral("Règles udev de Vardel"),
               sys.udevRules.isEmpty()
                   ? QStringLiteral("absentes (le port d'un terminal n'est ouvert qu'aux membres "
                                    "de son groupe, et ModemManager peut s'en servir)")
                   : QStringLiteral("installées : ") + sys.udevRules.join(QStringLiteral(", ")));
    s += field(QStringLiteral("ModemManager"),
               sys.modemManager > 0 ? QStringLiteral("en cours (processus %1)").arg(sys.modemManager)
                                    : QStringLiteral("non vu parmi les processus"));
    return s;
}

QString fileKind(const Configuration::NamedFile &file)
{
    switch (file.kind) {
    case Configuration::NamedFile::Kind::Picture:
        return QStringLiteral("image du terminal");
    case Configuration::NamedFile::Kind::HardwareRecord:
        return QStringLiteral("configuration matérielle");
    case Configuration::NamedFile::Kind::PackageFile:
        break;
    }
    return QStringLiteral("lot %1").arg(file.batch + 1);
}

// One named file: its size and digest as the check read it, against the signed digest.
QString fileLine(const Configuration::NamedFile &file)
{
    QString line = QStringLiteral("  ") + fileKind(file) + QStringLiteral(" : ") + file.name;
    if (!file.read)
        return line + QStringLiteral(" : illisible (") +
               regularfile::describe(file.failure, wording::Language::French) +
               QStringLiteral(")\n");
    line += QStringLiteral(" : %1 octets, SHA-256 %2").arg(file.size).arg(file.found);
    if (!file.hasDigest)
        line += QStringLiteral(" (pas d'empreinte signée)");
    else if (file.digest != file.found)
        line += QStringLiteral(" (DIFFÉRENT de l'empreinte signée %1)").arg(file.digest);
    else
        line += QStringLiteral(" (conforme à l'empreinte signée)");
    return line + QLatin1Char('\n');
}

QString packageSection(const Configuration *package)
{
    QString s = heading(QStringLiteral("Package"));
    if (!package)
        return s + QStringLiteral("Aucun package lu.\n");
    s += field(QStringLiteral("Dossier"), package->configurationDirectory());
    s += field(QStringLiteral("Terminal"), package->terminal->name + QStringLiteral(" (code ") +
                                               package->terminal->code + QLatin1Char(')'));
    s += field(QStringLiteral("Titre"), package->getTitle());
    s += field(QStringLiteral("Version"),
               QStringLiteral("le package n'en déclare pas ; l'empreinte de configuration.xml "
                              "l'identifie"));
    s += field(QStringLiteral("configuration.xml"),
               package->fileSize() < 0
                   ? QStringLiteral("illisible")
                   : QStringLiteral("%1 octets, SHA-256 %2")
                         .arg(package->fileSize())
                         .arg(package->configurationSha256()));
    s += field(QStringLiteral("Signature"),
               signature::describe(package->verdict(), wording::Language::French,
                                   package->unsignedContent()));
    int files = 0;
    for (const Batch *batch : package->getBatches())
        files += batch->files.size();
    s += field(QStringLiteral("Scénario"),
               QStringLiteral("%1 lot(s), %2 fichier(s)").arg(package->getBatches().size()).arg(files));
    const QList<Batch *> batches = package->getBatches();
    for (int b = 0; b < batches.size(); ++b) {
        if (!batches.at(b)->expected.isEmpty())
            s += field(QStringLiteral("Entrées attendues après le lot %1").arg(b + 1),
                       batches.at(b)->expected.join(QStringLiteral(", ")));
    }
    s += QStringLiteral("Fichiers, tels que lus dans le dossier :\n");
    for (const Configuration::NamedFile &file : package->namedFiles())
        s += fileLine(file);
    for (const QString &line : package->logLines())
        s += field(QStringLiteral("Contrôle"), line);
    return s;
}

QString portsSection(const ReportContent &c)
{
    QString s = heading(QStringLiteral("Ports série"));
    if (c.ports.isEmpty())
        s += QStringLiteral("Le système ne liste aucun port série.\n");
    for (const PortFacts &p : c.ports) {
        s += QStringLiteral("  %1 (%2) : fabricant « %3 », ")
                 .arg(printable::text(p.name), printable::text(p.location),
                      printable::text(p.manufacturer));
        s += p.hasIds ? QStringLiteral("USB %1:%2")
                            .arg(p.vendorId, 4, 16, QLatin1Char('0'))
                            .arg(p.productId, 4, 16, QLatin1Char('0'))
                      : QStringLiteral("pas d'identifiants USB");
        s += QStringLiteral(", numéro de série « %1 », description « %2 »\n")
                 .arg(printable::text(p.serialNumber), printable::text(p.description));
    }
    if (c.result) {
        s += field(QStringLiteral("Port de l'installation"), printable::text(c.result->startPort));
        if (c.result->port != c.result->startPort)
            s += field(QStringLiteral("Terminal retrouvé sur"), printable::text(c.result->port));
    }
    return s;
}

// Bytes in lines of 16, each with its offset.
QString dump(const quint8 *bytes, int size)
{
    QString s;
    for (int offset = 0; offset < size; offset += 16)
        s += QStringLiteral("  %1  ").arg(offset, 3) +
             hex(bytes + offset, std::min(16, size - offset)) + QLatin1Char('\n');
    return s;
}

QString terminalSection(const ReportContent &c)
{
    QString s = heading(QStringLiteral("Terminal"));
    if (c.recordRead) {
        s += QStringLiteral("Configuration matérielle lue (126 octets) :\n");
        s += dump(c.record.data(), int(c.record.size()));
        s += field(QStringLiteral("Code catalogue (octets 10 à 12)"),
                   hex(c.record.data() + frame::kCatalogueOffset, 3));
    } else if (!c.recordReply.isEmpty()) {
        s += QStringLiteral("Configuration matérielle reçue mais refusée (%1 octets sur %2, "
                            "incomplète ou CRC faux), telle que reçue :\n")
                 .arg(c.recordReply.size())
                 .arg(frame::kLongBlockSize);
        s += dump(reinterpret_cast<const quint8 *>(c.recordReply.constData()),
                  int(c.recordReply.size()));
    } else {
        s += QStringLiteral("Configuration matérielle : non lue lors de la dernière installation.\n");
    }
    if (c.applications.isEmpty() && !c.applicationsRead)
        s += QStringLiteral("Applications : liste non lue lors de la dernière installation.\n");
    else
        s += field(c.applicationsRead ? QStringLiteral("Applications")
                                      : QStringLiteral("Applications (liste interrompue)"),
                   c.applications.isEmpty()
                       ? QStringLiteral("aucune")
                       : printable::text(c.applications.join(QStringLiteral(", "))));
    // The lists the last installation judged its batches on: before it, after it.
    const auto list = [](bool read, const QStringList &entries) {
        return !read              ? QStringLiteral("non lue")
               : entries.isEmpty() ? QStringLiteral("aucune")
                                   : printable::text(entries.join(QStringLiteral(", ")));
    };
    if (c.result) {
        s += field(QStringLiteral("Applications avant l'installation"),
                   list(c.result->applicationsBeforeRead, c.result->applicationsBefore));
        s += field(QStringLiteral("Applications après l'installation"),
                   list(c.result->applicationsAfterRead, c.result->applicationsAfter));
    }
    return s;
}

QString timingsSection(const InstallFigures &f)
{
    QString s = heading(QStringLiteral("Durées"));
    for (const StageTiming &t : f.stages) {
        QString where = t.batch > 0 ? QStringLiteral("lot %1").arg(t.batch) : QString();
        if (t.file > 0)
            where += QStringLiteral(", fichier %1 %2").arg(t.file).arg(t.fileName);
        s += QStringLiteral("  à %1 ms : %2 %3 ms  %4")
                 .arg(t.startMs, 7)
                 .arg(logLabelOf(t.stage), -26)
                 .arg(t.durationMs, 7)
                 .arg(where)
                 .trimmed()
                 .prepend(QStringLiteral("  ")) +
             QLatin1Char('\n');
    }
    for (const DownloadFigures &d : f.downloads)
        s += QStringLiteral("  ") + figures::downloadLine(d) + QLatin1Char('\n');
    s += field(QStringLiteral("Total"), QStringLiteral("%1 ms").arg(f.totalMs));
    return s;
}

// A value in words, then its key as the station's JSON writes it.
QString named(const QString &words, const QString &key)
{
    return words + QStringLiteral(" (") + key + QLatin1Char(')');
}

QString resultSection(const InstallResult &r)
{
    QString s = heading(QStringLiteral("Résultat"));
    s += field(QStringLiteral("Issue"), named(logLabelOf(r.outcome), outcomeKey(r.outcome)));
    s += field(QStringLiteral("Étape"), named(logLabelOf(r.stage), stageKey(r.stage)));
    s += field(QStringLiteral("Cause"), r.cause == FailureCause::None
                                            ? logLabelOf(r.cause)
                                            : named(logLabelOf(r.cause), causeKey(r.cause)));
    if (r.cause == FailureCause::PortUnavailable)
        s += field(QStringLiteral("Échec d'ouverture"), openFailureKey(r.openFailure));
    s += field(QStringLiteral("Titre"), r.title);
    s += field(QStringLiteral("Message"), r.message);
    if (!r.advice.isEmpty())
        s += field(QStringLiteral("Conseil"), r.advice);
    if (!r.causeLine.isEmpty())
        s += field(QStringLiteral("Diagnostic"), r.causeLine);
    QStringList batches;
    for (const ActivatedBatch &b : r.activated)
        batches << QStringLiteral("lot %1 (redémarrage %2, retour %3)")
                       .arg(b.batch)
                       .arg(b.rebootAcknowledged ? QStringLiteral("confirmé")
                                                 : QStringLiteral("non confirmé"))
                       .arg(b.returned      ? QStringLiteral("constaté")
                            : b.restarted   ? QStringLiteral("non constaté")
                            : b.answered    ? QStringLiteral("non constaté : il a répondu sans "
                                                             "redémarrer")
                                            : QStringLiteral("non constaté"));
    s += field(QStringLiteral("Lots activés"), batches.isEmpty()
                                                   ? QStringLiteral("aucun")
                                                   : batches.join(QStringLiteral(", ")));
    for (const BatchCheck &check : r.checks) {
        QString state;
        switch (check.state) {
        case BatchCheck::State::NotChecked:
            state = QStringLiteral("non vérifié");
            break;
        case BatchCheck::State::AlreadyInstalled:
            state = QStringLiteral("déjà installé, non envoyé");
            break;
        case BatchCheck::State::Verified:
            state = QStringLiteral("vérifié");
            break;
        case BatchCheck::State::Missing:
            state = QStringLiteral("manque ") + check.missing().join(QStringLiteral(", "));
            break;
        case BatchCheck::State::Unread:
            state = QStringLiteral("liste illisible après le redémarrage");
            break;
        }
        s += field(QStringLiteral("Lot %1, entrées attendues").arg(check.batch),
                   check.expected.join(QStringLiteral(", ")) + QStringLiteral(" : ") +
                       named(state, checkKey(check.state)));
    }
    if (r.declaresEntries())
        s += field(QStringLiteral("Mise à jour vérifiée"),
                   r.verified() ? QStringLiteral("oui") : QStringLiteral("non"));
    return s;
}

// Where entries were left out: how many, of which kind.
QString omission(int progress, int others)
{
    if (others == 0)
        return QStringLiteral("(%1 entrées de progression omises)").arg(progress);
    return QStringLiteral("(%1 entrées de progression et %2 autres entrées omises)")
        .arg(progress)
        .arg(others);
}

QString logSection(const ReportContent &c)
{
    QString s = heading(QStringLiteral("Journal de la dernière installation"));
    if (c.omittedProgress > 0 || c.omittedOthers > 0)
        s += QStringLiteral("Entrées omises : %1 de progression, %2 autres ; le début de "
                            "l'installation et ses %3 dernières entrées sont là, et entre eux "
                            "les entrées qui ne sont pas de progression.\n")
                 .arg(c.omittedProgress)
                 .arg(c.omittedOthers)
                 .arg(LogCapture::kTailEntries);
    for (const LogCapture::Entry &entry : c.logEntries) {
        if (entry.progressOmitted > 0 || entry.othersOmitted > 0)
            s += omission(entry.progressOmitted, entry.othersOmitted) + QLatin1Char('\n');
        s += entry.text + QLatin1Char('\n');
    }
    return s;
}

QString traceSection(const FrameTrace &trace)
{
    QString s = heading(QStringLiteral("Trace des dernières trames"));
    s += QStringLiteral("Les %1 dernières trames dans chaque sens, avec leur heure et l'écart avec "
                        "la précédente ; d'un bloc de données, l'en-tête seul.\n")
             .arg(FrameTrace::kDepth);
    const QStringList lines = trace.lines();
    for (const QString &line : lines) // a port's label among them
        s += QStringLiteral("  ") + printable::text(line) + QLatin1Char('\n');
    return s;
}

QString repliesSection(const ReplyRecording &replies)
{
    QString s = heading(QStringLiteral("Réponses du terminal"));
    s += QStringLiteral("Chaque demande de la dernière installation (>) et les réponses du "
                        "terminal (<), avec leur délai en millisecondes ; « vardel-sim --replay "
                        "RAPPORT » rejoue ce terminal.\n");
    s += field(QStringLiteral("Demandes envoyées"), QString::number(replies.requests()));
    if (replies.droppedData() > 0 || replies.droppedOther() > 0)
        s += field(QStringLiteral("Échanges omis, les plus anciens"),
                   QStringLiteral("%1 de blocs de données, %2 autres")
                       .arg(replies.droppedData())
                       .arg(replies.droppedOther()));
    return s + replies.lines().join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace

QString text(const ReportContent &c)
{
    QString s = QStringLiteral("Rapport de diagnostic de Vardel\n");
    s += field(QStringLiteral("Écrit le"),
               wallclock::iso(c.at, false));
    s += programSection(c);
    s += systemSection(c.system);
    s += packageSection(c.package.get());
    s += portsSection(c);
    if (!c.result) {
        s += heading(QStringLiteral("Dernière installation"));
        s += QStringLiteral("Aucune installation ne s'est terminée depuis le démarrage du "
                            "programme.\n");
        return s + traceSection(c.trace);
    }
    s += terminalSection(c);
    s += timingsSection(c.result->figures);
    s += resultSection(*c.result);
    s += logSection(c);
    s += traceSection(c.trace);
    s += repliesSection(c.replies);
    return s;
}

} // namespace diagnosticreport
