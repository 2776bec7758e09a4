#include "workshoprows.h"

#include "model/installation/installwords.h"
#include "station/report.h"
#include "system/printable.h"

#include <QBrush>
#include <QColor>

WorkshopRows::WorkshopRows(QObject *parent) : QAbstractTableModel(parent) {}

void WorkshopRows::clear()
{
    beginResetModel();
    rows.clear();
    endResetModel();
}

void WorkshopRows::add(const FoundTerminal &terminal)
{
    beginInsertRows(QModelIndex(), rows.size(), rows.size());
    Row row;
    row.terminal = terminal;
    row.view.port = terminal.port;
    row.view.serialNumber = terminal.serialNumber;
    rows << row;
    endInsertRows();
}

void WorkshopRows::update(const QList<JobView> &views)
{
    const int count = qMin(views.size(), rows.size());
    for (int i = 0; i < count; ++i) {
        rows[i].view = views.at(i);
        rows[i].viewed = true;
    }
    if (count > 0)
        emit dataChanged(index(0, 0), index(count - 1, ColumnCount - 1));
}

int WorkshopRows::end(const JobResult &result)
{
    for (int i = 0; i < rows.size(); ++i) {
        Row &row = rows[i];
        if (row.ended || row.terminal.port != result.startPort ||
            row.terminal.serialNumber != result.serialNumber)
            continue;
        row.ended = true;
        row.result = result;
        emit dataChanged(index(i, 0), index(i, ColumnCount - 1));
        return i;
    }
    return -1;
}

QString WorkshopRows::verdictWord(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Waiting:
        return QStringLiteral("en attente");
    case Verdict::Running:
        return QStringLiteral("en cours");
    case Verdict::Updated:
        return shortLabelOf(InstallOutcome::Updated);
    case Verdict::UpToDate:
        return shortLabelOf(InstallOutcome::UpToDate);
    case Verdict::Unverified:
        return shortLabelOf(InstallOutcome::InstalledUnverified);
    case Verdict::Failed:
        break;
    }
    return shortLabelOf(InstallOutcome::Failed);
}

WorkshopRows::Verdict WorkshopRows::verdictOf(const Row &row) const
{
    if (row.ended) {
        switch (row.result.installation.outcome) {
        case InstallOutcome::Updated:
            return Verdict::Updated;
        case InstallOutcome::UpToDate:
            return Verdict::UpToDate;
        case InstallOutcome::InstalledUnverified:
            return Verdict::Unverified;
        case InstallOutcome::Failed:
        case InstallOutcome::Interrupted:
            return Verdict::Failed;
        }
    }
    switch (row.view.state) {
    case JobView::State::Waiting:
        return Verdict::Waiting;
    case JobView::State::Running:
        return Verdict::Running;
    case JobView::State::Done:
        break;
    }
    return row.view.upToDate     ? Verdict::UpToDate
           : row.view.success    ? Verdict::Updated
           : row.view.unverified ? Verdict::Unverified
                                 : Verdict::Failed;
}

WorkshopRows::Verdict WorkshopRows::verdict(int row) const
{
    return verdictOf(rows.at(row));
}

WorkshopRows::Counts WorkshopRows::counts() const
{
    Counts counts;
    for (const Row &row : rows) {
        switch (verdictOf(row)) {
        case Verdict::Waiting:
            ++counts.waiting;
            break;
        case Verdict::Running:
            ++counts.running;
            break;
        case Verdict::Updated:
            ++counts.updated;
            break;
        case Verdict::UpToDate:
            ++counts.upToDate;
            break;
        case Verdict::Unverified:
            ++counts.unverified;
            break;
        case Verdict::Failed:
            ++counts.failed;
            break;
        }
    }
    return counts;
}

const JobResult *WorkshopRows::result(int row) const
{
    if (row < 0 || row >= rows.size() || !rows.at(row).ended)
        return nullptr;
    return &rows.at(row).result;
}

QString WorkshopRows::port(int row) const
{
    const Row &r = rows.at(row);
    return r.viewed && !r.view.port.isEmpty() ? r.view.port : r.terminal.port;
}

QString WorkshopRows::serialNumber(int row) const
{
    return rows.at(row).terminal.serialNumber;
}

int WorkshopRows::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rows.size();
}

int WorkshopRows::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString WorkshopRows::text(const Row &row, int column) const
{
    const Verdict now = verdictOf(row);
    const bool running = now == Verdict::Running;
    const InstallProgress &progress = row.view.progress;
    switch (column) {
    case Port:
        return printable::text(row.viewed && !row.view.port.isEmpty() ? row.view.port
                                                                      : row.terminal.port);
    case Serial:
        return row.terminal.serialNumber.isEmpty() ? QStringLiteral("-")
                                                   : printable::text(row.terminal.serialNumber);
    case Stage:
        if (running) // as the station's live line says it
            return progressLabel(progress);
        // Where a terminal that did not make it stopped, as its log says it.
        if (row.ended && now != Verdict::Updated && now != Verdict::UpToDate)
            return logLabelOf(row.result.installation.stage);
        return QString();
    case File:
        return running && progress.stage == InstallStage::Download
                   ? printable::text(progress.fileName)
                   : QString();
    case Progress:
        return running && row.view.percent >= 0 ? QStringLiteral("%1 %").arg(row.view.percent)
                                                : QString();
    case Rate:
        return running && row.view.bytesPerSecond > 0 ? report::rate(row.view.bytesPerSecond)
                                                      : QString();
    case Outcome:
        if (row.ended)
            return shortLabelOf(row.result.installation.outcome);
        return verdictWord(now);
    case Note:
        return printable::text(row.view.note);
    default:
        break;
    }
    return QString();
}

QVariant WorkshopRows::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows.size())
        return QVariant();
    const Row &row = rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return text(row, index.column());
    case Qt::ToolTipRole:
        if (index.column() == Note)
            return text(row, Note);
        // Why a terminal failed, in short; its detail tells the rest.
        if (index.column() == Outcome && row.ended &&
            row.result.installation.cause != FailureCause::None)
            return shortLabelOf(row.result.installation.cause);
        return QVariant();
    case Qt::ForegroundRole:
        if (index.column() == Outcome) {
            const Verdict now = verdictOf(row);
            if (now == Verdict::Failed)
                return QBrush(QColor(0xb0, 0x00, 0x20));
            if (now == Verdict::Unverified)
                return QBrush(QColor(0x9a, 0x5b, 0x00));
        }
        return QVariant();
    case Qt::TextAlignmentRole:
        return index.column() == Progress || index.column() == Rate
                   ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter))
                   : QVariant();
    default:
        break;
    }
    return QVariant();
}

QVariant WorkshopRows::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Port:
        return QStringLiteral("Port");
    case Serial:
        return QStringLiteral("N° de série");
    case Stage:
        return QStringLiteral("Étape");
    case File:
        return QStringLiteral("Fichier");
    case Progress:
        return QStringLiteral("Progression");
    case Rate:
        return QStringLiteral("Débit");
    case Outcome:
        return QStringLiteral("Résultat");
    case Note:
        return QStringLiteral("Remarque");
    default:
        break;
    }
    return QVariant();
}
