#pragma once

#include <QString>

// The system's reason for a failed file operation, in French for the person: for the usual
// causes a short text of ours, otherwise the system's own text.
QString osErrorText(int error);
