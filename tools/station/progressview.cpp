#include "progressview.h"

#include <QTime>

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

// The width of the terminal; lines longer than that would wrap and spoil the redrawing.
int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

QString cell(const QString &text, int width)
{
    return text.size() > width ? text.left(width - 1) + QChar(0x2026) // …
                               : text.leftJustified(width);
}

void put(const QString &text, FILE *stream)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

} // namespace

ProgressView::ProgressView(bool isLive, int ports, int serials)
    : live(isLive), portWidth(qMax(ports, 4)), serialWidth(qMax(serials, 8))
{}

QString ProgressView::rate(double bytesPerSecond)
{
    if (bytesPerSecond <= 0)
        return QStringLiteral("-");
    if (bytesPerSecond < 10000)
        return QString::number(qRound(bytesPerSecond)) + QStringLiteral(" o/s");
    return QString::number(bytesPerSecond / 1000.0, 'f', 1).replace(QLatin1Char('.'),
                                                                     QLatin1Char(',')) +
           QStringLiteral(" Ko/s");
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
    return cell(row.port, portWidth) + QStringLiteral("  ") +
           cell(row.serialNumber.isEmpty() ? QStringLiteral("-") : row.serialNumber, serialWidth) +
           QStringLiteral("  ") + cell(stage, kStageWidth) + QStringLiteral("  ") +
           cell(row.file, kFileWidth) + QStringLiteral("  ") + percent + QStringLiteral("  ") +
           (running ? rate(row.bytesPerSecond) : QString());
}

void ProgressView::redraw(const QList<JobView> &rows)
{
    if (!live)
        return;
    const int columns = terminalColumns() - 1;
    QStringList lines{cell(QStringLiteral("Port"), portWidth) + QStringLiteral("  ") +
                      cell(QStringLiteral("N° série"), serialWidth) + QStringLiteral("  ") +
                      cell(QStringLiteral("Étape"), kStageWidth) + QStringLiteral("  ") +
                      cell(QStringLiteral("Fichier"), kFileWidth) +
                      QStringLiteral("      %  Débit")};
    for (const JobView &row : rows)
        lines << line(row);
    QString text;
    std::lock_guard<std::mutex> lock(mutex);
    if (drawn > 0)
        text += QStringLiteral("\x1b[%1A").arg(drawn); // back to the first line of the drawing
    for (const QString &l : lines)
        text += QStringLiteral("\r\x1b[2K") + l.left(columns).trimmed() + QLatin1Char('\n');
    put(text, stdout);
    std::fflush(stdout);
    drawn = int(lines.size());
}

void ProgressView::event(const JobView &row)
{
    if (live)
        return;
    const QString text = QTime::currentTime().toString(QStringLiteral("HH:mm:ss  ")) +
                         line(row).trimmed() + QLatin1Char('\n');
    std::lock_guard<std::mutex> lock(mutex);
    put(text, stdout);
    std::fflush(stdout);
}

void ProgressView::wipe()
{
    if (drawn == 0)
        return;
    put(QStringLiteral("\x1b[%1A\r\x1b[J").arg(drawn), stdout);
    std::fflush(stdout);
    drawn = 0;
}

void ProgressView::message(const QString &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    wipe();
    put(text + QLatin1Char('\n'), stderr);
    std::fflush(stderr);
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
