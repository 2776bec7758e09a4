#pragma once

#include "station/portboard.h"
#include "station/terminaljob.h"

#include <QAbstractTableModel>
#include <QList>

// The terminals of a workshop run, one row each in the order the station took them on: where
// each one is, its stage, file, progress and rate while it runs, then its outcome. Fed with
// the station's values (jobStarted, progressed, jobEnded); names that come from the devices
// (ports, serial numbers) are shown escaped.
class WorkshopRows : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column
    {
        Port,
        Serial,
        Stage,
        File,
        Progress,
        Rate,
        Outcome,
        Note,
        ColumnCount
    };

    // Where a terminal stands, for the counts and the outcome column.
    enum class Verdict
    {
        Waiting,
        Running,
        Updated,
        UpToDate,
        Unverified, // installed, its update unconfirmed: to be checked
        Failed,     // failed or interrupted
    };

    struct Counts
    {
        int waiting = 0;
        int running = 0;
        int updated = 0;
        int upToDate = 0;
        int unverified = 0;
        int failed = 0;
    };

    explicit WorkshopRows(QObject *parent = nullptr);

    void clear();
    // A terminal taken on: a new row at the end.
    void add(const FoundTerminal &terminal);
    // Every terminal of the run as the station sees it now, in the order they were taken on;
    // rows beyond the ones added are ignored.
    void update(const QList<JobView> &views);
    // A job's end; the row is the first one not yet ended that started on the result's port
    // with its serial number. Returns that row, or -1 when none matches.
    int end(const JobResult &result);

    Verdict verdict(int row) const;
    Counts counts() const;
    // The result of a row whose job has ended; null otherwise.
    const JobResult *result(int row) const;
    // The port a row's terminal is on now, and its serial number, as the station gives them.
    QString port(int row) const;
    QString serialNumber(int row) const;

    // A verdict's word: the outcome's short label (installwords.h), or waiting or running.
    static QString verdictWord(Verdict verdict);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    struct Row
    {
        FoundTerminal terminal;
        JobView view;
        bool viewed = false; // the station has shown it at least once
        bool ended = false;
        JobResult result;
    };
    QString text(const Row &row, int column) const;
    Verdict verdictOf(const Row &row) const;

    QList<Row> rows;
};
