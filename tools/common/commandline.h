#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The command lines of vardel-pack, vardel-sim and vardel-station, read by QCommandLineParser.
// The parser's own error texts are never shown: it reports which word went wrong, and each
// program says so in its own words. What it keeps apart (each option's values) is put back in
// the order the words were typed: vardel-sim's faults and plug times depend on that order.
namespace commandline {

struct Option
{
    Option(const QString &name, bool takesValue = false, const QString &shortName = QString())
        : name(name), takesValue(takesValue), shortName(shortName)
    {
    }
    QString name;      // without its dashes: "port"
    bool takesValue;   // the next word (or "--name=VALUE") is its value
    QString shortName; // "h": -h
};

// An option found on the command line, with its value, in the order typed.
struct Found
{
    QString name; // the Option's name
    QString value;
};

struct Parsed
{
    QList<Found> options;
    QStringList positional; // the words that are not options, "--" and after it included
    bool endMarker = false; // a bare "--" ended the options
    // The first word that reads as an option the program does not have (or a "--flag=VALUE"
    // for an option that takes none), as typed; empty: none.
    QString unknown;
    // The option, as typed, that ends the line without the value it needs; empty: none.
    QString missingValue;
    QString missingName; // ... and that option's name

    bool has(const QString &name) const;
    // Every value of `name`, in the order typed.
    QStringList values(const QString &name) const;
};

// Reads `arguments` (without the program's name). A single dash introduces a long option as two
// do (-h, and -list as --list): no word is split into one-letter options.
Parsed parse(const QList<Option> &options, const QStringList &arguments);

} // namespace commandline
