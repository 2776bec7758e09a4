#include "stagemeter.h"

void StageMeter::start()
{
    figures = InstallFigures();
    downloading = false;
    clock.start();
}

void StageMeter::closeStage(qint64 now)
{
    if (!figures.stages.isEmpty()) {
        StageTiming &last = figures.stages.last();
        last.durationMs = now - last.startMs;
    }
}

void StageMeter::enter(const InstallProgress &where)
{
    const qint64 now = clock.elapsed();
    closeStage(now);
    StageTiming timing;
    timing.stage = where.stage;
    timing.batch = where.batch;
    timing.file = where.file;
    timing.fileName = where.fileName;
    timing.startMs = now;
    figures.stages.append(timing);
}

void StageMeter::beginDownload(quint32 length)
{
    DownloadFigures download;
    if (!figures.stages.isEmpty()) {
        const StageTiming &stage = figures.stages.last();
        download.batch = stage.batch;
        download.file = stage.file;
        download.fileName = stage.fileName;
    }
    for (const DownloadFigures &earlier : figures.downloads) {
        if (earlier.batch == download.batch && earlier.file == download.file)
            ++download.attempt;
    }
    download.length = length;
    figures.downloads.append(download);
    downloading = true;
    downloadStartMs = clock.elapsed();
}

void StageMeter::endDownload(bool complete)
{
    if (!downloading)
        return;
    DownloadFigures &download = figures.downloads.last();
    download.durationMs = clock.elapsed() - downloadStartMs;
    download.complete = complete;
    downloading = false;
}

InstallFigures StageMeter::finish()
{
    endDownload(false);
    const qint64 now = clock.isValid() ? clock.elapsed() : 0;
    closeStage(now);
    figures.totalMs = now;
    return figures;
}
