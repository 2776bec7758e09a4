#include "stationconsole.h"

#include "console.h"
#include "progressview.h"
#include "system/printable.h"

#include <QDir>

#include <unistd.h>

namespace {

void sayOut(const QString &text)
{
    console::out(text + QLatin1Char('\n'));
}

void sayErr(const QString &text)
{
    console::err(QStringLiteral("vardel-station : ") + text + QLatin1Char('\n'));
}

} // namespace

StationConsole::StationConsole(const StationOptions &given) : options(given) {}

StationConsole::~StationConsole()
{
    if (view)
        ProgressView::captureQtMessages(nullptr);
}

void StationConsole::message(const QString &line)
{
    if (view)
        view->message(line);
    else
        console::err(line + QLatin1Char('\n'));
}

void StationConsole::refused(Refusal, const QString &text)
{
    sayErr(text);
}

void StationConsole::warned(Warning what, const QString &text)
{
    // A journal line lost while the terminals run must not tear the live lines.
    if (what == Warning::JournalNotWritten)
        message(QStringLiteral("vardel-station : ") + text);
    else
        sayErr(text);
}

void StationConsole::listed(const report::Package &package, const QList<FoundTerminal> &terminals)
{
    sayOut(QStringLiteral("Package %1 : %2")
               .arg(QDir::toNativeSeparators(package.directory), package.verdict));
    if (terminals.isEmpty()) {
        sayOut(QStringLiteral("Aucun terminal détecté."));
        return;
    }
    sayOut(QStringLiteral("%1 terminal(aux) détecté(s) :").arg(terminals.size()));
    for (const FoundTerminal &t : terminals)
        sayOut(QStringLiteral("  %1  %2  %3  %4")
                   .arg(printable::text(t.port), -12)
                   .arg(t.serialNumber.isEmpty() ? QStringLiteral("-")
                                                 : printable::text(t.serialNumber),
                        -12)
                   .arg(printable::text(t.manufacturer), -10)
                   .arg(printable::text(t.label)));
}

void StationConsole::servingStarted(bool watch)
{
    view = std::make_unique<ProgressView>(::isatty(STDOUT_FILENO) == 1);
    if (view->isLive())
        ProgressView::captureQtMessages(view.get());
    if (watch)
        view->setStatus(QStringLiteral("Mode atelier, Ctrl-C pour terminer"));
}

void StationConsole::jobChanged(const JobView &row)
{
    if (view)
        view->event(row);
}

void StationConsole::progressed(const QList<JobView> &rows)
{
    if (view)
        view->redraw(rows);
}

void StationConsole::stopTaken(StopRequests::Event which, const QString &source,
                               bool interrupted)
{
    if (which == StopRequests::Event::First) {
        const QString text =
            interrupted
                ? QStringLiteral("vardel-station : interruption demandée (%1). Aucun nouveau "
                                 "terminal ne démarre ; les terminaux en téléchargement sont "
                                 "libérés sans activer leurs fichiers ; ceux qui activent ou "
                                 "redémarrent terminent. Un second signal cesse d'attendre leur "
                                 "retour.")
                      .arg(source)
                : QStringLiteral("vardel-station : fin du mode atelier demandée (%1).")
                      .arg(source);
        if (view && options.watch)
            view->setStatus(QStringLiteral("Arrêt demandé"));
        message(text);
        return;
    }
    message(QStringLiteral("vardel-station : seconde interruption (%1). Le retour des "
                           "terminaux qui redémarrent n'est plus attendu : ils ne sont pas "
                           "vérifiés.")
                .arg(source));
}

void StationConsole::servingEnded()
{
    view->close();
    ProgressView::captureQtMessages(nullptr);
}

void StationConsole::linkChanged(const Publisher::Event &, const QString &text)
{
    message(QStringLiteral("vardel-station : ") + text);
}

void StationConsole::finished(const report::Run &run, const QString &publishing)
{
    if (run.terminals.isEmpty()) {
        sayOut(QStringLiteral("Aucun terminal n'a été mis à jour."));
    } else {
        sayOut(QString());
        console::out(report::table(run.terminals));
        sayOut(report::counts(run.terminals));
    }
    if (!publishing.isEmpty())
        sayOut(printable::lines(publishing)); // they name terminals by their serial numbers
}

void StationConsole::nothingToFlush(int records)
{
    console::out(options.republish
                     ? QStringLiteral("Rien à envoyer : le journal n'a aucun enregistrement.\n")
                     : QStringLiteral("Rien à envoyer : le serveur a confirmé les %1 "
                                      "enregistrement(s) du journal.\n")
                           .arg(records));
}

void StationConsole::flushed(int sent, const Publisher::Tally &tally, const QString &publishing)
{
    if (options.republish)
        console::out(QStringLiteral("%1 enregistrement(s) du journal renvoyé(s) sur %2, dont %3 "
                                    "confirmé(s) par le serveur.\n")
                         .arg(sent)
                         .arg(options.broker.text())
                         .arg(tally.published));
    console::out(publishing + QLatin1Char('\n'));
}
