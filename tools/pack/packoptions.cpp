#include "packoptions.h"

#include "commandline.h"

namespace pack {

const char kUsage[] =
    "usage:\n"
    "  vardel-pack keygen DIR                      new signing key pair and package key\n"
    "  vardel-pack seal PLAIN SEALED               seal a file under the package key\n"
    "  vardel-pack unseal SEALED PLAIN             recover the plain content\n"
    "  vardel-pack sign CONFIG.xml [--key PEM]     sign configuration.xml in place\n"
    "  vardel-pack verify CONFIGDIR                check a package as the program reads it\n";

Invocation parseCommandLine(const QStringList &arguments)
{
    const commandline::Parsed parsed = commandline::parse(
        {{QStringLiteral("key"), true}, {QStringLiteral("help")}}, arguments);
    Invocation invocation;
    const auto refused = [&](const char *problem) {
        invocation = Invocation();
        invocation.problem = problem;
        return invocation;
    };
    const char *const kWrong = "unknown command or wrong number of arguments";
    if (!parsed.unknown.isEmpty())
        return refused(kWrong);
    QStringList words = parsed.positional;
    const QString command = words.isEmpty() ? QString() : words.takeFirst();
    if (parsed.has(QStringLiteral("help")) || command == QLatin1String("help")) {
        invocation.command = Invocation::Command::Help;
        return invocation;
    }
    if (parsed.positional.isEmpty() && parsed.options.isEmpty() && parsed.missingValue.isEmpty())
        return refused("no command");
    const bool sign = command == QLatin1String("sign");
    if (!parsed.missingValue.isEmpty())
        return refused(sign ? "--key needs a file" : kWrong);
    const QStringList keys = parsed.values(QStringLiteral("key"));
    if (keys.size() > 1 || (!keys.isEmpty() && !sign))
        return refused(kWrong);
    invocation.keyGiven = !keys.isEmpty();
    invocation.key = keys.isEmpty() ? QString() : keys.first();
    invocation.files = words;
    const int count = int(words.size());
    if (command == QLatin1String("keygen") && count == 1)
        invocation.command = Invocation::Command::Keygen;
    else if (command == QLatin1String("seal") && count == 2)
        invocation.command = Invocation::Command::Seal;
    else if (command == QLatin1String("unseal") && count == 2)
        invocation.command = Invocation::Command::Unseal;
    else if (sign && count == 1)
        invocation.command = Invocation::Command::Sign;
    else if (command == QLatin1String("verify") && count == 1)
        invocation.command = Invocation::Command::Verify;
    else
        return refused(kWrong);
    return invocation;
}

} // namespace pack
