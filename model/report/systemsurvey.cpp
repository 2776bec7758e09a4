#include "systemsurvey.h"

#include "link/portdiagnosis.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#endif

#include <vector>

const QStringList SystemSurvey::kRuleFiles{QStringLiteral("60-vardel.rules"),
                                           QStringLiteral("85-vardel-modemmanager.rules")};
const QStringList SystemSurvey::kRuleFolders{
    QStringLiteral("/etc/udev/rules.d"), QStringLiteral("/run/udev/rules.d"),
    QStringLiteral("/usr/local/lib/udev/rules.d"), QStringLiteral("/usr/lib/udev/rules.d"),
    QStringLiteral("/lib/udev/rules.d")};

namespace {

#ifdef Q_OS_UNIX

QString userText()
{
    // The reentrant look-ups: other threads may be asking the user database too.
    std::vector<char> buffer(16384);
    passwd entry;
    passwd *found = nullptr;
    const uid_t uid = ::getuid();
    const QString name =
        ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found
            ? QString::fromLocal8Bit(entry.pw_name)
            : QStringLiteral("?");
    return QStringLiteral("%1 (uid %2)").arg(name).arg(uid);
}

QStringList groupNames()
{
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> ids(std::size_t(count > 0 ? count : 0) + 1);
    const int n = ::getgroups(int(ids.size()), ids.data());
    ids.resize(std::size_t(n > 0 ? n : 0));
    ids.push_back(::getgid());
    std::vector<char> buffer(16384);
    QStringList names;
    for (const gid_t id : ids) {
        group entry;
        group *found = nullptr;
        const QString name =
            ::getgrgid_r(id, &entry, buffer.data(), buffer.size(), &found) == 0 && found
                ? QString::fromLocal8Bit(entry.gr_name)
                : QString::number(id);
        if (!names.contains(name))
            names << name;
    }
    return names;
}

#endif

} // namespace

SystemSurvey SystemSurvey::take()
{
    SystemSurvey survey;
    survey.system = QSysInfo::prettyProductName();
    survey.kernel = QSysInfo::kernelType() + QLatin1Char(' ') + QSysInfo::kernelVersion() +
                    QStringLiteral(" (") + QSysInfo::currentCpuArchitecture() + QLatin1Char(')');
    survey.host = QSysInfo::machineHostName();
    for (const QString &folder : kRuleFolders) {
        for (const QString &rule : kRuleFiles) {
            const QString path = folder + QLatin1Char('/') + rule;
            if (QFileInfo(path).isFile())
                survey.udevRules << path;
        }
    }
#ifdef Q_OS_UNIX
    survey.user = userText();
    survey.groups = groupNames();
    survey.modemManager = PortDiagnosis::findProcess(QStringLiteral("ModemManager"));
#endif
    return survey;
}
