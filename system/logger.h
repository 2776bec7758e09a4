#pragma once

#include <QDate>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <memory>
#include <mutex>

// The dated log file: one stamped entry per message, appended, UTF-8. Entries may come from
// any thread and from any number of writers of the same file (one per Model when several run
// at once): writers of one file share one open file and one lock, so each entry reaches the
// file whole, and the entries of one thread keep their order.
class logger : public QObject
{
    Q_OBJECT

public:
    // The daily log of a folder: each entry goes to the file of the day it is written,
    // FOLDER/yyyyMMdd_logs.txt, so that past midnight every writer goes on in the new day's file.
    struct Daily
    {
        QString folder;
    };

    // Every entry to `fileName`. An empty name creates no file and makes write() a no-op. A file
    // that cannot be opened loses its entries; failure() says why, for the program to tell the
    // person.
    logger(QObject *parent, const QString &fileName);
    logger(QObject *parent, const Daily &daily);
    ~logger() override;

    // The file of `folder`'s daily log for `day`.
    static QString dailyFileName(const QString &folder, const QDate &day);

    // Builds the entry "== dd/MM/yyyy hh:mm:ss == " + value + "\n", stamped now or at `at`.
    // Control characters other than line breaks are written as escapes (printable.h): a name
    // a device reported never reaches the file, or the terminal it is read on, raw.
    static QString formatEntry(const QString &value);
    static QString formatEntry(const QString &value, const QDateTime &at);

    static const QString startBanner;
    static const QString endBanner;

    // Why the file could not be opened, or why an entry could not be written to it (the first
    // such failure, in French, naming the file); empty while every entry has reached it, and
    // for a logger without a file.
    QString failure() const;

    struct SharedFile; // one open log file, shared by its writers

    // The entry stamped `at` (a daily log: into the file of that day).
    void write(const QString &value, const QDateTime &at);

public slots:
    void write(const QString &value);

private:
    // The file an entry of `at` goes to; null: none.
    std::shared_ptr<SharedFile> fileFor(const QDateTime &at);

    const QString folder; // a daily log's; empty: a fixed file
    mutable std::mutex choosing; // guards what follows
    std::shared_ptr<SharedFile> file; // the last one written to; null: no file
    QString earlierFailure;           // of a day's file before the current one
};
