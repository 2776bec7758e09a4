#pragma once

#include <QProcessEnvironment>
#include <QStringList>

// The environment for a system program that a test starts (udevadm, perl, pgrep): this one's,
// but without a sanitizer runtime in LD_PRELOAD. An instrumented test preloads it first; an
// uninstrumented program that carries it aborts at exit over leaks that are not ours.
inline QProcessEnvironment plainEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QStringList kept;
    const QStringList preload =
        environment.value(QStringLiteral("LD_PRELOAD")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &library : preload)
        if (!library.contains(QLatin1String("libasan")) &&
            !library.contains(QLatin1String("libtsan")))
            kept << library;
    environment.insert(QStringLiteral("LD_PRELOAD"), kept.join(QLatin1Char(':')));
    return environment;
}
