#pragma once

#include <QString>

// A failure is told in two languages: in English by vardel-pack, which package makers read,
// and in French in the program's log. Each kind of failure keeps its texts in one table, the
// two languages side by side, so that neither can be forgotten when a case is added.
namespace wording {

enum class Language
{
    English,
    French,
};

struct Text
{
    const char *english;
    const char *french;

    QString in(Language language) const
    {
        return QString::fromUtf8(language == Language::English ? english : french);
    }
};

} // namespace wording
