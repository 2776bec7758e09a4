#include "sanitizerreport.h"

#include <QLoggingCategory>
#include <QRegularExpression>

Q_LOGGING_CATEGORY(lcSanitizerReport, "vardel.tests.sanitizer")

namespace {

bool opensReport(const QString &line)
{
    return line.contains(QLatin1String("WARNING: ThreadSanitizer")) ||
           line.contains(QLatin1String("ERROR: AddressSanitizer")) ||
           line.contains(QLatin1String("ERROR: LeakSanitizer")) ||
           line.contains(QLatin1String("runtime error:"));
}

bool isFrame(const QString &line)
{
    static const QRegularExpression frame(QStringLiteral("^\\s+#\\d+ "));
    return frame.match(line).hasMatch();
}

// The line that names a report in a few words: its SUMMARY, or its first line.
QString headline(const QString &report)
{
    const QStringList lines = report.split(QLatin1Char('\n'));
    for (const QString &line : lines)
        if (line.startsWith(QLatin1String("SUMMARY: ")))
            return line.mid(9);
    for (const QString &line : lines)
        if (opensReport(line))
            return line.trimmed();
    return lines.value(0);
}

} // namespace

namespace sanitizer {

QStringList reports(const QByteArray &stderrText)
{
    const QStringList lines = QString::fromLocal8Bit(stderrText).split(QLatin1Char('\n'));
    QStringList found;
    int i = 0;
    while (i < lines.size()) {
        if (!opensReport(lines[i])) {
            ++i;
            continue;
        }
        const bool undefined = lines[i].contains(QLatin1String("runtime error:"));
        // ThreadSanitizer draws a rule of '=' above its report.
        const int first = i > 0 && lines[i - 1].startsWith(QLatin1String("=====")) ? i - 1 : i;
        int end = i + 1; // one past the report's last line
        if (undefined) {
            // Its stack (print_stacktrace), then its SUMMARY line when there is one.
            while (end < lines.size() && isFrame(lines[end]))
                ++end;
            int next = end;
            while (next < lines.size() && lines[next].trimmed().isEmpty())
                ++next;
            if (next < lines.size() &&
                lines[next].startsWith(QLatin1String("SUMMARY: UndefinedBehaviorSanitizer")))
                end = next + 1;
        } else {
            while (end < lines.size() && !lines[end].startsWith(QLatin1String("SUMMARY: ")) &&
                   !opensReport(lines[end]))
                ++end;
            if (end < lines.size() && lines[end].startsWith(QLatin1String("SUMMARY: ")))
                ++end;
            // AddressSanitizer's map of the memory around the address, up to its last word.
            static const QRegularExpression aborting(QStringLiteral("^==\\d+==ABORTING"));
            int last = end;
            while (last < lines.size() && !opensReport(lines[last]) &&
                   !aborting.match(lines[last]).hasMatch())
                ++last;
            if (last < lines.size() && aborting.match(lines[last]).hasMatch())
                end = last + 1;
            // ThreadSanitizer closes its report with the rule it opened it with.
            if (end < lines.size() && lines[end].startsWith(QLatin1String("=====")))
                ++end;
        }
        found << lines.mid(first, end - first).join(QLatin1Char('\n'));
        i = end;
    }
    return found;
}

QString reportIn(const QByteArray &stderrText)
{
    const QStringList found = reports(stderrText);
    if (found.isEmpty())
        return QString();
    for (const QString &report : found)
        qCWarning(lcSanitizerReport).noquote() << QStringLiteral("sanitizer report:\n") + report;
    return QStringLiteral("%1 sanitizer report(s) in the program's standard error, printed "
                          "whole above; the first: %2")
        .arg(found.size())
        .arg(headline(found.first()));
}

} // namespace sanitizer
