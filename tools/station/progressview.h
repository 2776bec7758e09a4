#pragma once

#include "terminaljob.h"

#include <QList>
#include <QString>

#include <cstdio>
#include <mutex>

// The progress of every terminal on standard output. On a terminal (live), one line per
// terminal under a header, redrawn in place; otherwise one plain, time-stamped line per event.
// Messages for the person (interruption, Qt's own warnings) go to standard error without
// tearing the live lines.
class ProgressView
{
public:
    ProgressView(bool live, int portWidth, int serialWidth);

    bool isLive() const { return live; }
    // Live: draws the lines again in place of the previous drawing (main thread).
    void redraw(const QList<JobView> &rows);
    // Not live: one line for this event (any thread).
    void event(const JobView &row);
    // A message on standard error; a live drawing is wiped first and drawn again next time.
    void message(const QString &text);
    // The last drawing stays; what follows is written below it.
    void close();

    // Routes Qt's messages through message() while `view` lives (null: Qt's own handler).
    static void captureQtMessages(ProgressView *view);

    // "1,2 Ko/s": the rate as the lines and the summary show it.
    static QString rate(double bytesPerSecond);

private:
    QString line(const JobView &row) const;
    void wipe(); // under mutex

    const bool live;
    const int portWidth;
    const int serialWidth;
    std::mutex mutex;
    int drawn = 0; // lines of the current drawing
};
