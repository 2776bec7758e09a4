#pragma once

#include <QObject>
#include <QString>

#include <memory>

// The dated log file: one stamped entry per message, appended, UTF-8. Entries may come from
// any thread and from any number of writers of the same file (one per Model when several run
// at once): writers of one file share one open file and one lock, so each entry reaches the
// file whole, and the entries of one thread keep their order.
class logger : public QObject
{
    Q_OBJECT

public:
    // An empty name creates no file and makes write() a no-op. A file that cannot be opened
    // loses its entries; failure() says why, for the program to tell the person.
    logger(QObject *parent, const QString &fileName);
    ~logger() override;

    // Builds the entry "== dd/MM/yyyy hh:mm:ss == " + value + "\n".
    static QString formatEntry(const QString &value);

    static const QString startBanner;
    static const QString endBanner;

    // Why the file could not be opened, or why an entry could not be written to it (the first
    // such failure, in French, naming the file); empty while every entry has reached it, and
    // for a logger without a file.
    QString failure() const;

    struct SharedFile; // one open log file, shared by its writers

public slots:
    void write(const QString &value);

private:
    std::shared_ptr<SharedFile> file; // null: no file
};
