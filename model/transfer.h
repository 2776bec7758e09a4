#pragma once

#include <QLoggingCategory>

// Developer traces of the terminal commands (never the log file).
Q_DECLARE_LOGGING_CATEGORY(lcProtocol)
