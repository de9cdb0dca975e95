#include "formatting/developer_prompt_anchors.h"

#include "core/unicode_text.h"
#include "formatting/fact_pattern_starts.h"

#include <array>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

using unicode::Regex;

struct Pattern {
    const Regex* regex;
    bool (*mayStart)(const QString&, qsizetype);
};

const std::array<Pattern, 12>& patterns() {
    static const Regex kWebAddress(u"https?://[^\\s<>()]+"_s);
    static const Regex kEmail(u"[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,}"_s);
    static const Regex kPath(u"(?:\\./)?(?:[A-Za-z0-9_.-]+/)+[A-Za-z0-9_.-]+"_s);
    static const Regex kFileName(
        u"\\b[A-Za-z0-9_-]+\\.(?:swift|json|jsonl|md|sh|py|ts|tsx|js|jsx|rs|go|toml|yaml|yml|sql|"
        "html|css|plist|dmg|wav)\\b"_s);
    static const Regex kFlag(u"(?<![A-Za-z0-9_])--?[A-Za-z][A-Za-z0-9-]*"_s);
    static const Regex kSnakeCase(u"\\b[A-Za-z][A-Za-z0-9]*_[A-Za-z0-9_]+\\b"_s);
    static const Regex kCamelCase(
        u"\\b(?:[a-z]+[A-Z][A-Za-z0-9]*|[A-Z][A-Za-z0-9]+[A-Z][A-Za-z0-9]*)\\b"_s);
    static const Regex kCapitalised(u"\\b[A-Z][a-z]{2,}\\b"_s);
    static const Regex kAcronym(u"\\b[A-Z]{2,}[A-Za-z0-9_]*\\b"_s);
    static const Regex kGeneric(u"\\b[A-Za-z][A-Za-z0-9]*<[^>\\n]+>"_s);
    static const Regex kVersion(u"\\b\\d+(?:\\.\\d+)+(?:[-+][A-Za-z0-9.-]+)?\\b"_s);
    static const Regex kNumber(u"\\b\\d+(?::\\d+)?\\b"_s);
    static const std::array<Pattern, 12> kAll{{
        {&kWebAddress, fact_patterns::webAddress},
        {&kEmail, fact_patterns::email},
        {&kPath, fact_patterns::path},
        {&kFileName, fact_patterns::fileName},
        {&kFlag, fact_patterns::flag},
        {&kSnakeCase, fact_patterns::snakeCase},
        {&kCamelCase, fact_patterns::camelCase},
        {&kCapitalised, fact_patterns::capitalised},
        {&kAcronym, fact_patterns::acronym},
        {&kGeneric, fact_patterns::genericType},
        {&kVersion, fact_patterns::version},
        {&kNumber, fact_patterns::number},
    }};
    return kAll;
}

bool isTrimmedPunctuation(QChar c) {
    return c == u'.' || c == u',' || c == u'!' || c == u'?' || c == u';' || c == u':';
}

QStringView trimmedPunctuation(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isTrimmedPunctuation(text[begin])) {
        ++begin;
    }
    while (end > begin && isTrimmedPunctuation(text[end - 1])) {
        --end;
    }
    return text.sliced(begin, end - begin);
}

} // namespace

QSet<QString> DeveloperPromptAnchors::extract(const QString& text, const QStringList& vocabulary) {
    QSet<QString> anchors;
    for (const Pattern& pattern : patterns()) {
        for (const unicode::RegexMatch& match :
             pattern.regex->allMatchesWhere(text, pattern.mayStart)) {
            const QString& matched = match.groups.front();
            const QStringView anchor = trimmedPunctuation(matched);
            if (!anchor.isEmpty()) {
                anchors.insert(unicode::foldCaseAndDiacritics(anchor));
            }
        }
    }
    if (vocabulary.isEmpty()) {
        return anchors;
    }
    const QString foldedText = unicode::foldCaseAndDiacritics(text);
    for (const QString& term : vocabulary) {
        const QString trimmed = unicode::trimmedWhitespace(term);
        if (trimmed.isEmpty()) {
            continue;
        }
        const QString foldedTerm = unicode::foldCaseAndDiacritics(trimmed);
        if (unicode::containsGraphemes(foldedText, foldedTerm)) {
            anchors.insert(foldedTerm);
        }
    }
    return anchors;
}

} // namespace quovant
