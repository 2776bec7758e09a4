#include "devkeys.h"

#include "crypto/keys.h"

namespace devkeys {

bool inUse()
{
    return keys::kDevelopmentKeys;
}

QString logLine()
{
    return QStringLiteral("Attention : ce programme est construit avec les clés de développement, "
                          "connues de tous ; il ne doit jamais être remis à un opérateur");
}

QString notice()
{
    return QStringLiteral("Clés de développement");
}

} // namespace devkeys
