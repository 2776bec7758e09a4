#include "progressview.h"

#include "console.h"
#include "model/installation/installwords.h"
#include "station/report.h"
#include "system/printable.h"
#include "system/wallclock.h"

#include <algorithm>
#include <atomic>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int kStageWidth = 22; // "liste des applications"
constexpr int kFileWidth = 12;  // a name of 8 and 3 characters

std::atomic<ProgressView *> gCapturing{nullptr};
QtMessageHandler gPreviousHandler = nullptr;

void forwardQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (ProgressView *view = gCapturing)
        view->message(text);
    else if (gPreviousHandler)
        gPreviousHandler(type, context, text);
}

// The size of the terminal; lines longer than it would wrap and spoil the redrawing, and a
// drawing taller than it would scroll its header away.
winsize terminalSize()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
        size.ws_col = 80;
        size.ws_row = 24;
    }
    return size;
}

QString cell(const QString &text, int width)
{
    return text.size() > width ? text.left(width - 1) + QChar(0x2026) // …
                               : text.leftJustified(width);
}

// The order of the rows when they do not all fit: what needs the person's eyes first.
int rank(const JobView &row)
{
    switch (row.state) {
    case JobView::State::Running:
        return 0;
    case JobView::State::Waiting:
        return 1;
    case JobView::State::Done:
        break;
    }
    return row.success ? 3 : 2;
}

} // namespace

ProgressView::ProgressView(bool isLive) : live(isLive) {}

QString ProgressView::rate(double bytesPerSecond)
{
    return report::rate(bytesPerSecond);
}

ProgressView::Counts ProgressView::count(const QList<JobView> &rows)
{
    Counts counts;
    for (const JobView &row : rows) {
        switch (row.state) {
        case JobView::State::Waiting:
            ++counts.waiting;
            break;
        case JobView::State::Running:
            ++counts.running;
            break;
        case JobView::State::Done:
            ++(row.upToDate     ? counts.upToDate
               : row.success    ? counts.updated
               : row.unverified ? counts.unverified
                                : counts.failed);
            break;
        }
    }
    return counts;
}

QString ProgressView::countsText(const Counts &counts)
{
    const auto count = [](const QString &label, int n) {
        return label + QStringLiteral(" : ") + QString::number(n);
    };
    const QString waiting = count(QStringLiteral("en attente"), counts.waiting);
    const QString running = count(QStringLiteral("en cours"), counts.running);
    const QString updated = count(shortLabelOf(InstallOutcome::Updated), counts.updated);
    const QString upToDate = count(shortLabelOf(InstallOutcome::UpToDate), counts.upToDate);
    const QString unverified =
        count(shortLabelOf(InstallOutcome::InstalledUnverified), counts.unverified);
    const QString failed = count(shortLabelOf(InstallOutcome::Failed), counts.failed);
    const QString gap = QStringLiteral("   ");
    // Each line fits 80 columns: the terminals already up to date, when there are, make the
    // counts two lines.
    if (counts.upToDate > 0)
        return waiting + gap + running + QLatin1Char('\n') + updated + gap + upToDate + gap +
               unverified + gap + failed;
    return waiting + gap + running + gap + updated + gap + unverified + gap + failed;
}

void ProgressView::setStatus(const QString &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    status = text;
}

void ProgressView::widen(const QList<JobView> &rows)
{
    for (const JobView &row : rows) {
        portWidth = qMax(portWidth, int(printable::text(row.port).size()));
        serialWidth = qMax(serialWidth, int(printable::text(row.serialNumber).size()));
    }
}

QString ProgressView::header() const
{
    return cell(QStringLiteral("Port"), portWidth) + QStringLiteral("  ") +
           cell(QStringLiteral("N° série"), serialWidth) + QStringLiteral("  ") +
           cell(QStringLiteral("Étape"), kStageWidth) + QStringLiteral("  ") +
           cell(QStringLiteral("Fichier"), kFileWidth) + QStringLiteral("      %  Débit");
}

QString ProgressView::line(const JobView &row) const
{
    const bool running = row.state == JobView::State::Running;
    const QString percent = running && row.percent >= 0
                                ? QString::number(row.percent).rightJustified(3) +
                                      QStringLiteral(" %")
                                : QStringLiteral("     ");
    const QString stage = row.state == JobView::State::Waiting ? QStringLiteral("en attente")
                                                               : row.stage;
    // What the devices reported, escaped: never a control character on the person's terminal.
    QString text = cell(printable::text(row.port), portWidth) + QStringLiteral("  ") +
                   cell(row.serialNumber.isEmpty() ? QStringLiteral("-")
                                                   : printable::text(row.serialNumber),
                        serialWidth) +
                   QStringLiteral("  ");
    // A finished terminal's result and note take the rest of the line.
    if (row.state == JobView::State::Done)
        return text + stage + (row.note.isEmpty() ? QString() : QStringLiteral(" : ") + row.note);
    return text + cell(stage, kStageWidth) + QStringLiteral("  ") + cell(row.file, kFileWidth) +
           QStringLiteral("  ") + percent + QStringLiteral("  ") +
           (running ? rate(row.bytesPerSecond) : QString());
}

QStringList ProgressView::layout(const QList<JobView> &rows, int height)
{
    std::lock_guard<std::mutex> lock(mutex);
    widen(rows);
    QStringList lines{header()};
    // The status and the counts on lines of their own: together they were wider than a
    // terminal of 100 columns, and the failures' count was cut off.
    const QStringList counts = countsText(count(rows)).split(QLatin1Char('\n'));
    if (!status.isEmpty())
        lines << status << counts;
    // The last row of the terminal stays free: the cursor waits there.
    const int room = height - 1 - int(lines.size());
    if (int(rows.size()) <= room) {
        for (const JobView &row : rows)
            lines << line(row);
        return lines;
    }
    if (status.isEmpty())
        lines << counts;
    QList<JobView> ordered = rows;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const JobView &a, const JobView &b) { return rank(a) < rank(b); });
    const int fit = status.isEmpty() ? room - int(counts.size()) : room;
    for (int k = 0; k < fit; ++k)
        lines << line(ordered.at(k));
    return lines;
}

void ProgressView::redraw(const QList<JobView> &rows)
{
    if (!live)
        return;
    const winsize size = terminalSize();
    const QStringList lines = layout(rows, size.ws_row);
    const int columns = size.ws_col - 1;
    std::lock_guard<std::mutex> lock(mutex);
    QString text;
    if (drawn > 0)
        text += QStringLiteral("\x1b[%1A").arg(drawn); // back to the first line of the drawing
    for (const QString &l : lines)
        text += QStringLiteral("\r\x1b[2K") + l.left(columns).trimmed() + QLatin1Char('\n');
    // A drawing shorter than the last one leaves nothing of it below.
    text += QStringLiteral("\x1b[J");
    console::out(text);
    drawn = int(lines.size());
}

void ProgressView::event(const JobView &row)
{
    if (live)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    widen({row});
    console::out(wallclock::now().time().toString(QStringLiteral("HH:mm:ss  ")) + line(row).trimmed() +
                 QLatin1Char('\n'));
}

void ProgressView::wipe()
{
    if (drawn == 0)
        return;
    console::out(QStringLiteral("\x1b[%1A\r\x1b[J").arg(drawn));
    drawn = 0;
}

void ProgressView::message(const QString &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    wipe();
    console::err(printable::lines(text) + QLatin1Char('\n'));
}

void ProgressView::close()
{
    std::lock_guard<std::mutex> lock(mutex);
    drawn = 0;
}

void ProgressView::captureQtMessages(ProgressView *view)
{
    gCapturing = view;
    if (view && !gPreviousHandler)
        gPreviousHandler = qInstallMessageHandler(forwardQtMessage);
}
