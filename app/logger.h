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
    // An empty name creates no file and makes write() a no-op. A file that cannot be opened is
    // not reported: the program runs on and its entries are lost.
    logger(QObject *parent, const QString &fileName);
    ~logger() override;

    // Builds the entry "== dd/MM/yyyy hh:mm:ss == " + value + "\n".
    static QString formatEntry(const QString &value);

    static const QString startBanner;
    static const QString endBanner;

    struct SharedFile; // one open log file, shared by its writers

public slots:
    void write(const QString &value);

private:
    std::shared_ptr<SharedFile> file; // null: no file
};
