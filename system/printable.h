#pragma once

#include <QString>

// Text that comes from a device (a serial number, a description, a name the terminal reports),
// made safe to put on a person's terminal or into a file read there: characters that a terminal
// would act on instead of showing them are written as escapes, everything else as it is (UTF-8
// text such as "E€1" included).
//
// - control characters (U+0000 to U+001F, U+007F, U+0080 to U+009F): "\xHH" (ESC is "\x1b",
//   a tab "\x09");
// - characters that change how the text around them is shown without being seen themselves
//   (Unicode's format characters: bidirectional overrides and isolates, zero-width characters;
//   the line and paragraph separators U+2028 and U+2029), and halves of surrogate pairs left
//   alone: "\u{HHHH}".
//
// A backslash stays as it is: the escapes are for reading, not for reading back.
namespace printable {

// One line: a line break is escaped too.
QString text(const QString &value);
// Several lines: line breaks ("\n") are kept, every other control character is escaped.
QString lines(const QString &value);

} // namespace printable
