#include "core/unicode_text.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <cstdio>
#include <cstdlib>

namespace quovant::unicode {

icu::UnicodeString aliasIcu(const QString& text) {
    return icu::UnicodeString(false, reinterpret_cast<const UChar*>(text.utf16()),
                              static_cast<int32_t>(text.size()));
}

QString fromIcu(const icu::UnicodeString& text) {
    return QString(reinterpret_cast<const QChar*>(text.getBuffer()), text.length());
}

namespace {

icu::UnicodeString copyIcu(QStringView text) {
    return icu::UnicodeString(reinterpret_cast<const UChar*>(text.utf16()),
                              static_cast<int32_t>(text.size()));
}

// Character break iterators are not thread-safe; clone one per thread from a shared prototype.
icu::BreakIterator& characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !it) {
            std::fprintf(stderr, "ICU character break iterator unavailable: %s\n",
                         u_errorName(status));
            std::abort();
        }
        return it;
    }();
    return *iterator;
}

template <typename Visit> void forEachGrapheme(QStringView text, Visit visit) {
    if (text.isEmpty()) {
        return;
    }
    const icu::UnicodeString icuText(false, reinterpret_cast<const UChar*>(text.utf16()),
                                     static_cast<int32_t>(text.size()));
    icu::BreakIterator& it = characterIterator();
    it.setText(icuText);
    int32_t start = it.first();
    for (int32_t end = it.next(); end != icu::BreakIterator::DONE; start = end, end = it.next()) {
        if (!visit(start, end)) {
            break;
        }
    }
    // Drop the reference to the caller's buffer.
    it.setText(icu::UnicodeString());
}

} // namespace

QStringList graphemes(QStringView text) {
    QStringList result;
    forEachGrapheme(text, [&](int32_t start, int32_t end) {
        result.append(text.mid(start, end - start).toString());
        return true;
    });
    return result;
}

qsizetype graphemeCount(QStringView text) {
    qsizetype count = 0;
    forEachGrapheme(text, [&](int32_t, int32_t) {
        ++count;
        return true;
    });
    return count;
}

QString leftGraphemes(QStringView text, qsizetype count) {
    if (count <= 0) {
        return {};
    }
    qsizetype seen = 0;
    qsizetype cut = text.size();
    forEachGrapheme(text, [&](int32_t, int32_t end) {
        if (++seen == count) {
            cut = end;
            return false;
        }
        return true;
    });
    return text.left(cut).toString();
}

namespace {

// Plain ASCII folds to its lower case; most words and identifiers need no ICU at all.
std::optional<QString> asciiLower(QStringView text) {
    QString result(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c >= 0x80) {
            return std::nullopt;
        }
        result[i] = QChar(c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c);
    }
    return result;
}

} // namespace

QString foldCaseAndDiacritics(QStringView text) {
    if (auto ascii = asciiLower(text)) {
        return *ascii;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) {
        return text.toString().toCaseFolded();
    }
    icu::UnicodeString decomposed = nfd->normalize(copyIcu(text), status);
    icu::UnicodeString stripped;
    for (int32_t i = 0; i < decomposed.length();) {
        const UChar32 c = decomposed.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK) {
            stripped.append(c);
        }
        i += U16_LENGTH(c);
    }
    stripped.foldCase();
    icu::UnicodeString composed = nfc->normalize(stripped, status);
    return U_FAILURE(status) ? fromIcu(stripped) : fromIcu(composed);
}

QString toLower(QStringView text) {
    if (auto ascii = asciiLower(text)) {
        return *ascii;
    }
    icu::UnicodeString s = copyIcu(text);
    s.toLower(icu::Locale::getRoot());
    return fromIcu(s);
}

QString toUpper(QStringView text) {
    icu::UnicodeString s = copyIcu(text);
    s.toUpper(icu::Locale::getRoot());
    return fromIcu(s);
}

bool isLetter(char32_t c) {
    return u_isalpha(static_cast<UChar32>(c));
}
bool isDigit(char32_t c) {
    return u_isdigit(static_cast<UChar32>(c));
}
bool isAlphanumeric(char32_t c) {
    return isLetter(c) || isDigit(c);
}
bool isUppercase(char32_t c) {
    return u_isupper(static_cast<UChar32>(c));
}
bool isLowercase(char32_t c) {
    return u_islower(static_cast<UChar32>(c));
}
bool isWhitespace(char32_t c) {
    return u_isUWhiteSpace(static_cast<UChar32>(c));
}

Regex::Regex(const QString& pattern, bool caseInsensitive) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    m_pattern.reset(icu::RegexPattern::compile(
        aliasIcu(pattern), caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0, parseError, status));
    if (U_FAILURE(status) || !m_pattern) {
        std::fprintf(stderr, "Invalid regular expression at offset %d (%s): %s\n",
                     parseError.offset, u_errorName(status), pattern.toUtf8().constData());
        std::abort();
    }
}

Regex::~Regex() = default;

std::unique_ptr<icu::RegexMatcher> Regex::matcher(const icu::UnicodeString& input) const {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> m(m_pattern->matcher(input, status));
    if (U_FAILURE(status)) {
        return nullptr;
    }
    return m;
}

bool Regex::contains(const QString& text) const {
    const icu::UnicodeString input = aliasIcu(text);
    auto m = matcher(input);
    UErrorCode status = U_ZERO_ERROR;
    return m && m->find(0, status) && U_SUCCESS(status);
}

bool Regex::matchesEntirely(const QString& text) const {
    const icu::UnicodeString input = aliasIcu(text);
    auto m = matcher(input);
    UErrorCode status = U_ZERO_ERROR;
    return m && m->matches(status) && U_SUCCESS(status);
}

namespace {

RegexMatch currentMatch(icu::RegexMatcher& m) {
    UErrorCode status = U_ZERO_ERROR;
    RegexMatch match;
    match.start = m.start(status);
    match.end = m.end(status);
    for (int32_t g = 0; g <= m.groupCount(); ++g) {
        const int32_t start = m.start(g, status);
        match.groupStarts.append(start);
        match.groups.append(start < 0 ? QString() : fromIcu(m.group(g, status)));
    }
    return match;
}

} // namespace

std::optional<RegexMatch> Regex::firstMatch(const QString& text) const {
    const icu::UnicodeString input = aliasIcu(text);
    auto m = matcher(input);
    UErrorCode status = U_ZERO_ERROR;
    if (!m || !m->find(0, status) || U_FAILURE(status)) {
        return std::nullopt;
    }
    return currentMatch(*m);
}

QList<RegexMatch> Regex::allMatches(const QString& text) const {
    QList<RegexMatch> result;
    const icu::UnicodeString input = aliasIcu(text);
    auto m = matcher(input);
    if (!m) {
        return result;
    }
    while (m->find()) {
        result.append(currentMatch(*m));
    }
    return result;
}

QList<RegexMatch> Regex::allMatchesWhere(const QString& text,
                                         bool (*mayStart)(const QString& text,
                                                          qsizetype index)) const {
    QList<RegexMatch> result;
    const icu::UnicodeString input = aliasIcu(text);
    auto m = matcher(input);
    if (!m) {
        return result;
    }
    qsizetype searchFrom = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i != searchFrom && !mayStart(text, i)) {
            continue;
        }
        if (i > 0 && i < text.size() && text[i].isLowSurrogate() && text[i - 1].isHighSurrogate()) {
            continue;
        }
        UErrorCode status = U_ZERO_ERROR;
        if (m->lookingAt(i, status) && U_SUCCESS(status)) {
            RegexMatch match = currentMatch(*m);
            // Like find(): after an empty match the search moves on by one position.
            searchFrom = match.end > match.start ? match.end : match.end + 1;
            result.append(std::move(match));
            i = searchFrom - 1;
        }
    }
    return result;
}

QString Regex::replaceAll(const QString& text, const QString& replacement) const {
    const icu::UnicodeString input = aliasIcu(text);
    auto m = matcher(input);
    if (!m) {
        return text;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString result = m->replaceAll(aliasIcu(replacement), status);
    return U_FAILURE(status) ? text : fromIcu(result);
}

} // namespace quovant::unicode

namespace quovant::unicode {

namespace {

// Runs `check` with the shared character iterator set to `text`, then detaches it.
template <typename Check> bool withCharacterIterator(QStringView text, Check check) {
    const icu::UnicodeString icuText(false, reinterpret_cast<const UChar*>(text.utf16()),
                                     static_cast<int32_t>(text.size()));
    icu::BreakIterator& it = characterIterator();
    it.setText(icuText);
    const bool result = check(it);
    it.setText(icu::UnicodeString());
    return result;
}

} // namespace

bool isGraphemeBoundary(QStringView text, qsizetype index) {
    if (index <= 0 || index >= text.size()) {
        return index == 0 || index == text.size();
    }
    return withCharacterIterator(text, [&](icu::BreakIterator& it) {
        return it.isBoundary(static_cast<int32_t>(index)) != 0;
    });
}

bool startsWithGraphemes(QStringView text, QStringView prefix) {
    if (!text.startsWith(prefix)) {
        return false;
    }
    return isGraphemeBoundary(text, prefix.size());
}

bool containsGraphemes(QStringView text, QStringView needle) {
    if (needle.isEmpty()) {
        return true;
    }
    qsizetype at = text.indexOf(needle);
    if (at < 0) {
        return false;
    }
    return withCharacterIterator(text, [&](icu::BreakIterator& it) {
        const auto boundary = [&](qsizetype index) {
            return index == 0 || index == text.size() ||
                   it.isBoundary(static_cast<int32_t>(index)) != 0;
        };
        for (; at >= 0; at = text.indexOf(needle, at + 1)) {
            if (boundary(at) && boundary(at + needle.size())) {
                return true;
            }
        }
        return false;
    });
}

} // namespace quovant::unicode

namespace quovant::unicode {

QList<qsizetype> graphemeEnds(QStringView text) {
    QList<qsizetype> ends;
    forEachGrapheme(text, [&](int32_t, int32_t end) {
        ends.append(end);
        return true;
    });
    return ends;
}

QString lastGrapheme(QStringView text) {
    if (text.isEmpty()) {
        return {};
    }
    qsizetype start = 0;
    withCharacterIterator(text, [&](icu::BreakIterator& it) {
        const int32_t previous = it.preceding(static_cast<int32_t>(text.size()));
        start = previous == icu::BreakIterator::DONE ? 0 : previous;
        return true;
    });
    return text.mid(start).toString();
}

QString trimmedWhitespace(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    // Every White_Space code point is in the BMP, so surrogates simply stop the scan.
    while (begin < end && isWhitespace(text[begin].unicode())) {
        ++begin;
    }
    while (end > begin && isWhitespace(text[end - 1].unicode())) {
        --end;
    }
    return text.mid(begin, end - begin).toString();
}

bool isMark(char32_t c) {
    return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_M_MASK) != 0;
}
bool isNumber(char32_t c) {
    return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_N_MASK) != 0;
}

QString toNfc(QStringView text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) {
        return text.toString();
    }
    const icu::UnicodeString input(false, reinterpret_cast<const UChar*>(text.utf16()),
                                   static_cast<int32_t>(text.size()));
    if (nfc->isNormalized(input, status) && U_SUCCESS(status)) {
        return text.toString();
    }
    status = U_ZERO_ERROR;
    const icu::UnicodeString composed = nfc->normalize(input, status);
    return U_FAILURE(status) ? text.toString() : fromIcu(composed);
}

} // namespace quovant::unicode
