#pragma once

#include "installfigures.h"
#include "installresult.h"

#include <QElapsedTimer>

// Measures an installation as it runs: each stage from its start to the start of the next, and
// the line's work during each download. Used by the installation's thread only.
class StageMeter
{
public:
    // A new installation: the clock starts, nothing measured yet.
    void start();
    // A stage begins where the installation now stands; the one before it ends.
    void enter(const InstallProgress &where);
    // A download of `length` plain bytes begins (within the current file's stages).
    void beginDownload(quint32 length);
    // The running download, for its counters (outside a download, a record nobody reads).
    DownloadFigures &download() { return downloading ? figures.downloads.last() : unmeasured; }
    void endDownload(bool complete);
    // Ends the running stage (and download): what was measured.
    InstallFigures finish();

private:
    void closeStage(qint64 now);

    QElapsedTimer clock;
    InstallFigures figures;
    DownloadFigures unmeasured;
    bool downloading = false;
    qint64 downloadStartMs = 0;
};
