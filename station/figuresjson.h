#pragma once

#include "model/installation/installresult.h"

#include <QJsonObject>

// Where the time of one terminal's installation went, for the JSON summary and the journal:
//   "timings":   {"totalMs", "stageMs": {stage key: ms, every stage that ran, added up},
//                 "stages": [{"stage", "batch", "file", "fileName", "startMs", "durationMs"}]}
//   "downloads": [{"batch", "file", "fileName", "attempt", "length", "bytes", "blocks",
//                  "resends", "damaged", "timeouts", "durationMs", "bytesPerSecond",
//                  "lineShare", "complete"}]
//   "report":    the report for support written about it, or null.
namespace figuresjson {

// The three fields above, to insert into a terminal's object.
QJsonObject fields(const InstallResult &result);

} // namespace figuresjson
