#pragma once

#include "station/terminaljob.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <mutex>

// The progress of every terminal on standard output. On a terminal (live), a header and one
// line per terminal, redrawn in place and cut to the terminal's size; otherwise one plain,
// time-stamped line per event. Messages for the person (interruption, Qt's own warnings) go to
// standard error without tearing the live lines.
class ProgressView
{
public:
    // How many terminals are in each state.
    struct Counts
    {
        int waiting = 0;
        int running = 0;
        int updated = 0;
        int upToDate = 0;   // already: nothing sent
        int unverified = 0; // installed, to be checked
        int failed = 0;
    };

    explicit ProgressView(bool live);

    bool isLive() const { return live; }
    // A line under the header, above the terminals, followed by the counts (watch mode: what
    // the station waits for); none when empty.
    void setStatus(const QString &text);
    // Live: draws the lines again in place of the previous drawing (run's thread).
    void redraw(const QList<JobView> &rows);
    // Not live: one line for this event (any thread).
    void event(const JobView &row);
    // A message on standard error; a live drawing is wiped first and drawn again next time.
    void message(const QString &text);
    // The last drawing stays; what follows is written below it.
    void close();

    // The lines of one drawing on a terminal `height` rows high: the header, the status line
    // with the counts if there is one, then every terminal when they all fit; otherwise the
    // counts (on the status line, or a line of their own) and as many terminals as fit, running
    // ones first, then waiting ones, those that failed or must be checked, and updated ones. The drawing leaves the terminal's last
    // row free, so that it never scrolls.
    QStringList layout(const QList<JobView> &rows, int height);
    static Counts count(const QList<JobView> &rows);
    // One line, or two when some terminals are already up to date.
    static QString countsText(const Counts &counts);

    // Routes Qt's messages through message() while `view` lives (null: Qt's own handler).
    static void captureQtMessages(ProgressView *view);

    // "1,2 Ko/s": the rate as the lines and the summary show it.
    static QString rate(double bytesPerSecond);

private:
    QString line(const JobView &row) const; // under mutex
    QString header() const;                 // under mutex
    void widen(const QList<JobView> &rows); // under mutex
    void wipe();                            // under mutex

    const bool live;
    std::mutex mutex; // guards what follows
    QString status;
    int portWidth = 4;
    int serialWidth = 8;
    int drawn = 0; // lines of the current drawing
};
