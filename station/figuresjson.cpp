#include "figuresjson.h"

#include <QJsonArray>
#include <QtMath>

namespace figuresjson {

namespace {

QJsonObject timings(const InstallFigures &f)
{
    QJsonObject byStage;
    QJsonArray stages;
    for (const StageTiming &t : f.stages) {
        byStage.insert(stageKey(t.stage), double(f.stageMs(t.stage)));
        QJsonObject stage{{QStringLiteral("stage"), stageKey(t.stage)},
                          {QStringLiteral("batch"), t.batch},
                          {QStringLiteral("startMs"), double(t.startMs)},
                          {QStringLiteral("durationMs"), double(t.durationMs)}};
        if (t.file > 0) {
            stage.insert(QStringLiteral("file"), t.file);
            stage.insert(QStringLiteral("fileName"), t.fileName);
        }
        stages.append(stage);
    }
    return {{QStringLiteral("totalMs"), double(f.totalMs)},
            {QStringLiteral("stageMs"), byStage},
            {QStringLiteral("stages"), stages}};
}

QJsonObject download(const DownloadFigures &d)
{
    return {{QStringLiteral("batch"), d.batch},
            {QStringLiteral("file"), d.file},
            {QStringLiteral("fileName"), d.fileName},
            {QStringLiteral("attempt"), d.attempt},
            {QStringLiteral("length"), double(d.length)},
            {QStringLiteral("bytes"), double(d.bytes)},
            {QStringLiteral("blocks"), d.blocks},
            {QStringLiteral("resends"), d.resends},
            {QStringLiteral("damaged"), d.damaged},
            {QStringLiteral("timeouts"), d.timeouts},
            {QStringLiteral("durationMs"), double(d.durationMs)},
            {QStringLiteral("bytesPerSecond"), qRound(d.bytesPerSecond())},
            {QStringLiteral("lineShare"), qRound(d.lineShare() * 1000) / 1000.0},
            {QStringLiteral("complete"), d.complete}};
}

} // namespace

QJsonObject fields(const InstallResult &result)
{
    QJsonArray downloads;
    for (const DownloadFigures &d : result.figures.downloads)
        downloads.append(download(d));
    return {{QStringLiteral("timings"), timings(result.figures)},
            {QStringLiteral("downloads"), downloads},
            {QStringLiteral("report"), result.reportFile.isEmpty() ? QJsonValue()
                                                                  : QJsonValue(result.reportFile)}};
}

} // namespace figuresjson
