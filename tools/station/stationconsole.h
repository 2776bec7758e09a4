#pragma once

#include "station/stationobserver.h"
#include "stationoptions.h"

#include <memory>

class ProgressView;

// What vardel-station shows of a run: refusals and warnings on standard error ("vardel-station :
// ..."), the terminals' progress through a ProgressView while they are served (live lines on a
// terminal, time-stamped events otherwise), the messages of a stop and of the broker's link, the
// --list listing, and the summary at the end on standard output.
class StationConsole : public StationObserver
{
public:
    explicit StationConsole(const StationOptions &options);
    ~StationConsole() override;

    void refused(Refusal why, const QString &text) override;
    void warned(Warning what, const QString &text) override;
    void listed(const report::Package &package, const QList<FoundTerminal> &terminals) override;
    void servingStarted(bool watch) override;
    void jobChanged(const JobView &row) override;
    void progressed(const QList<JobView> &rows) override;
    void stopTaken(StopRequests::Event which, const QString &source, bool interrupted) override;
    void servingEnded() override;
    void linkChanged(const Publisher::Event &event, const QString &text) override;
    void finished(const report::Run &run, const QString &publishing) override;
    void nothingToFlush(int records) override;
    void flushed(int sent, const Publisher::Tally &tally, const QString &publishing) override;

private:
    // A message on standard error: through the display once it exists (it wipes its live lines
    // first), directly before.
    void message(const QString &line);

    const StationOptions options;
    // Made when the terminals are served; kept after, closed, for what follows.
    std::unique_ptr<ProgressView> view;
};
