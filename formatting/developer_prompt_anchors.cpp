#include "formatting/developer_prompt_anchors.h"

#include "core/unicode_text.h"
#include "formatting/fact_pattern_starts.h"
#include "formatting/guard_text.h"

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

const QList<guard_text::CompiledFactPattern>& patterns() {
    static const QList<guard_text::CompiledFactPattern> kAll = guard_text::compileFactPatterns({
        {u"https?://[^\\s<>()]+"_s, fact_patterns::webAddress},
        {u"[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,}"_s, fact_patterns::email},
        {u"(?:\\./)?(?:[A-Za-z0-9_.-]+/)+[A-Za-z0-9_.-]+"_s, fact_patterns::path},
        {u"\\b[A-Za-z0-9_-]+\\.(?:swift|json|jsonl|md|sh|py|ts|tsx|js|jsx|rs|go|toml|yaml|yml|"
         "sql|html|css|plist|dmg|wav)\\b"_s,
         fact_patterns::fileName},
        {u"(?<![A-Za-z0-9_])--?[A-Za-z][A-Za-z0-9-]*"_s, fact_patterns::flag},
        {u"\\b[A-Za-z][A-Za-z0-9]*_[A-Za-z0-9_]+\\b"_s, fact_patterns::snakeCase},
        {u"\\b(?:[a-z]+[A-Z][A-Za-z0-9]*|[A-Z][A-Za-z0-9]+[A-Z][A-Za-z0-9]*)\\b"_s,
         fact_patterns::camelCase},
        // Names in any script.
        {u"\\b\\p{Lu}\\p{Ll}{2,}\\b"_s, fact_patterns::capitalisedInAnyScript},
        {u"\\b[A-Z]{2,}[A-Za-z0-9_]*\\b"_s, fact_patterns::acronym},
        {u"\\b[A-Za-z][A-Za-z0-9]*<[^>\\n]+>"_s, fact_patterns::genericType},
        {u"\\b\\d+(?:\\.\\d+)+(?:[-+][A-Za-z0-9.-]+)?\\b"_s, fact_patterns::version},
        {u"\\b\\d+(?::\\d+)?\\b"_s, fact_patterns::number},
    });
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
    for (const guard_text::CompiledFactPattern& pattern : patterns()) {
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
