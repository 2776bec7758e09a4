#pragma once

#include <QString>

// Whether this build holds the committed development keys (keys/dev), which everyone has: the
// program then says so in its log, right after the start banner, and in its About dialog.
namespace devkeys {

bool inUse();
// The line of the log after the start banner.
QString logLine();
// What the About dialog shows.
QString notice();

} // namespace devkeys
