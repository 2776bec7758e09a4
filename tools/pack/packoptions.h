#pragma once

#include <QString>
#include <QStringList>

// The command line of vardel-pack: a command and its files, or what is wrong with the line.
namespace pack {

extern const char kUsage[];

struct Invocation
{
    enum class Command
    {
        Refused, // `problem` says why; the usage follows it, and the exit status is 2
        Help,    // help, --help: the usage on the standard output, exit status 0
        Keygen,  // keygen DIR
        Seal,    // seal PLAIN SEALED
        Unseal,  // unseal SEALED PLAIN
        Sign,    // sign CONFIG.xml [--key PEM]
        Verify,  // verify CONFIGDIR
    };
    Command command = Command::Refused;
    QStringList files; // the command's words, in order
    QString key;           // sign's --key
    bool keyGiven = false; // otherwise sign uses the build's private key
    const char *problem = nullptr;
};

Invocation parseCommandLine(const QStringList &arguments);

} // namespace pack
