#include "oserror.h"

#include <cerrno>
#include <cstring>

QString osErrorText(int error)
{
    switch (error) {
    case 0:
        return QStringLiteral("cause inconnue");
    case EACCES:
    case EPERM:
        return QStringLiteral("permission refusée");
    case EISDIR:
        return QStringLiteral("un dossier porte ce nom");
    case ENOENT:
        return QStringLiteral("le dossier n'existe pas");
    case ENOTDIR:
        return QStringLiteral("un élément du chemin n'est pas un dossier");
    case EROFS:
        return QStringLiteral("système de fichiers en lecture seule");
    case ENOSPC:
        return QStringLiteral("plus de place sur le disque");
#ifdef EDQUOT
    case EDQUOT:
        return QStringLiteral("quota de disque dépassé");
#endif
    case EIO:
        return QStringLiteral("erreur d'entrée-sortie");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}
