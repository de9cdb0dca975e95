#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <memory>
#include <optional>

#include <unicode/regex.h>
#include <unicode/unistr.h>

// The one place that converts between Qt and ICU strings. Everything that must follow Unicode
// (regular expressions, folding, grapheme clusters, character classes) goes through here.
// All functions are thread-safe.
namespace quovant::unicode {

// A read-only ICU view of the QString's UTF-16 buffer; valid while `text` is alive and unchanged.
icu::UnicodeString aliasIcu(const QString& text);
QString fromIcu(const icu::UnicodeString& text);

// User-perceived characters (extended grapheme clusters), in order.
QStringList graphemes(QStringView text);
qsizetype graphemeCount(QStringView text);
// The first `count` user-perceived characters.
QString leftGraphemes(QStringView text, qsizetype count);

// Case- and diacritic-insensitive form: decomposed, combining marks removed, full case folding.
QString foldCaseAndDiacritics(QStringView text);
QString toLower(QStringView text);
QString toUpper(QStringView text);

// Unicode character classes on code points (general categories L*, Nd, L*|Nd, Lu, Ll, White_Space).
bool isLetter(char32_t c);
bool isDigit(char32_t c);
bool isAlphanumeric(char32_t c);
bool isUppercase(char32_t c);
bool isLowercase(char32_t c);
bool isWhitespace(char32_t c);

struct RegexMatch {
    // Positions are UTF-16 indices into the searched QString; groups[0] is the whole match.
    qsizetype start = 0;
    qsizetype end = 0;
    QStringList groups;
    QList<qsizetype> groupStarts; // -1 where a group did not take part
};

// An ICU regular expression, compiled once and shared. A pattern that does not compile is a
// programming error and aborts at construction.
class Regex {
public:
    explicit Regex(const QString& pattern, bool caseInsensitive = false);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    bool contains(const QString& text) const;
    bool matchesEntirely(const QString& text) const;
    std::optional<RegexMatch> firstMatch(const QString& text) const;
    QList<RegexMatch> allMatches(const QString& text) const;
    // Replaces every match; `replacement` uses ICU syntax ($1 for a group, \$ for a dollar).
    QString replaceAll(const QString& text, const QString& replacement) const;
    // allMatches() that attempts a match only where the search begins (0 or the end of the
    // previous match) and at the positions `mayStart` accepts. Equal to allMatches() as long as a
    // match can begin at a rejected position only if one can also begin at an earlier position
    // at or after the search start. Spares the per-position attempts that make long texts slow
    // and long runs of characters quadratic.
    QList<RegexMatch> allMatchesWhere(const QString& text,
                                      bool (*mayStart)(const QString& text, qsizetype index)) const;

private:
    std::unique_ptr<icu::RegexMatcher> matcher(const icu::UnicodeString& input) const;

    std::unique_ptr<icu::RegexPattern> m_pattern;
};

} // namespace quovant::unicode

namespace quovant::unicode {

// Whether `index` (a UTF-16 position) falls between two user-perceived characters of `text`;
// 0 and text.size() always do.
bool isGraphemeBoundary(QStringView text, qsizetype index);
// Prefix and substring tests on whole user-perceived characters: a match may neither begin nor
// end inside a character, so "e" is no prefix of an "é" written with a combining accent.
bool startsWithGraphemes(QStringView text, QStringView prefix);
bool containsGraphemes(QStringView text, QStringView needle);

} // namespace quovant::unicode

namespace quovant::unicode {

// UTF-16 positions where user-perceived characters end, in order (the last is text.size());
// empty for empty text. Character i spans [i == 0 ? 0 : ends[i - 1], ends[i]).
QList<qsizetype> graphemeEnds(QStringView text);
// The last user-perceived character; empty for empty text.
QString lastGrapheme(QStringView text);
// `text` without White_Space code points (blanks, tabs, line breaks) at either end.
QString trimmedWhitespace(QStringView text);
// General categories M* and N* (marks; decimal, letter and other numbers).
bool isMark(char32_t c);
bool isNumber(char32_t c);
// Canonical composition (NFC), so canonically equivalent texts compare equal.
QString toNfc(QStringView text);

} // namespace quovant::unicode
