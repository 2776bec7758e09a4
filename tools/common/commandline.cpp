#include "commandline.h"

#include <QCommandLineParser>
#include <QHash>

namespace commandline {

namespace {

// The name QCommandLineParser gives the option word `word`: without its dashes and its value.
QString nameOf(const QString &word)
{
    return word.mid(word.startsWith(QLatin1String("--")) ? 2 : 1).section(QLatin1Char('='), 0, 0);
}

bool readsAsOption(const QString &word)
{
    return word.size() > 1 && word.startsWith(QLatin1Char('-')) && word != QLatin1String("--");
}

} // namespace

bool Parsed::has(const QString &name) const
{
    for (const Found &found : options)
        if (found.name == name)
            return true;
    return false;
}

QStringList Parsed::values(const QString &name) const
{
    QStringList all;
    for (const Found &found : options)
        if (found.name == name)
            all << found.value;
    return all;
}

Parsed parse(const QList<Option> &options, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    QHash<QString, const Option *> byName; // every name, the short ones included
    for (const Option &option : options) {
        QStringList names{option.name};
        if (!option.shortName.isEmpty())
            names << option.shortName;
        parser.addOption(option.takesValue
                             ? QCommandLineOption(names, QString(), QStringLiteral("VALUE"))
                             : QCommandLineOption(names));
        for (const QString &name : qAsConst(names))
            byName.insert(name, &option);
    }
    const bool read = parser.parse(QStringList{QString()} + arguments);

    Parsed parsed;
    // optionNames() lists the options in the order found, once per occurrence; values() gives
    // one option's values in that order: together, the line as typed.
    QHash<const Option *, int> seen;
    QHash<const Option *, QStringList> values;
    for (const QString &name : parser.optionNames()) {
        const Option *option = byName.value(name);
        if (!values.contains(option))
            values.insert(option, parser.values(name));
        const int occurrence = seen[option]++;
        const QStringList &given = values[option];
        if (option->takesValue && occurrence >= given.size()) {
            // Registered without a value: the line ended first.
            parsed.missingValue = arguments.last();
            parsed.missingName = option->name;
            continue;
        }
        parsed.options.append({option->name, option->takesValue ? given.at(occurrence) : QString()});
    }
    parsed.positional = parser.positionalArguments();

    // A bare "--" is the one that is not an option's value.
    int dashes = int(arguments.count(QStringLiteral("--")));
    for (const Found &found : qAsConst(parsed.options))
        dashes -= found.value == QLatin1String("--") ? 1 : 0;
    parsed.endMarker = dashes > 0;

    if (read)
        return parsed;
    // The parser failed on an unknown name, or on a value given to an option that takes none
    // (or on a missing value, seen above).
    const QStringList unknownNames = parser.unknownOptionNames();
    for (const QString &word : arguments) {
        if (!readsAsOption(word))
            continue;
        const QString name = nameOf(word);
        const Option *known = byName.value(name);
        if ((!unknownNames.isEmpty() && name == unknownNames.first()) ||
            (unknownNames.isEmpty() && known && !known->takesValue &&
             word.contains(QLatin1Char('=')))) {
            parsed.unknown = word;
            break;
        }
    }
    return parsed;
}

} // namespace commandline
