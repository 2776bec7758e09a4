#include "transfer.h"

Q_LOGGING_CATEGORY(lcProtocol, "vardel.protocol")
