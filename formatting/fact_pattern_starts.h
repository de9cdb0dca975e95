#pragma once

#include <QString>

// Where each exact-fact pattern of the rewrite and developer-prompt guards can begin a match that
// a left-to-right search would find, for unicode::Regex::allMatchesWhere. ICU would otherwise try
// every position of the text, and the unanchored address and path patterns rescan a whole run of
// characters from each of its positions (quadratic on a long run). Each test is a necessary
// condition read off its pattern, so skipping the positions it rejects never changes the matches.
namespace quovant::fact_patterns {

inline bool isAsciiUpper(QChar c) {
    return c >= u'A' && c <= u'Z';
}
inline bool isAsciiLower(QChar c) {
    return c >= u'a' && c <= u'z';
}
inline bool isAsciiLetter(QChar c) {
    return isAsciiUpper(c) || isAsciiLower(c);
}
inline bool isAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}
inline bool isAsciiAlphanumeric(QChar c) {
    return isAsciiLetter(c) || isAsciiDigit(c);
}
inline bool isAsciiWordCharacter(QChar c) {
    return isAsciiAlphanumeric(c) || c == u'_';
}
// A UTF-16 unit that may belong to a \d (any decimal digit, including those beyond the BMP).
inline bool mayBeDigit(QChar c) {
    return c.isDigit() || c.isSurrogate();
}

inline bool isAddressCharacter(QChar c) {
    return isAsciiAlphanumeric(c) || c == u'.' || c == u'_' || c == u'%' || c == u'+' || c == u'-';
}
inline bool isPathCharacter(QChar c) {
    return isAsciiAlphanumeric(c) || c == u'.' || c == u'_' || c == u'-';
}
inline bool isFileNameCharacter(QChar c) {
    return isAsciiWordCharacter(c) || c == u'-';
}

// The end of the run of `inRun` characters that starts at `from`.
template <typename InRun> qsizetype runEnd(const QString& t, qsizetype from, InRun inRun) {
    while (from < t.size() && inRun(t[from])) {
        ++from;
    }
    return from;
}
inline QChar at(const QString& t, qsizetype i) {
    return i < t.size() ? t[i] : QChar();
}

// \b before a word character: no word character right before it.
inline bool afterNonWord(const QString& t, qsizetype i) {
    return i == 0 || !isAsciiWordCharacter(t[i - 1]);
}
inline bool wordStart(const QString& t, qsizetype i) {
    return i < t.size() && isAsciiLetter(t[i]) && afterNonWord(t, i);
}

// https?://
inline bool webAddress(const QString& t, qsizetype i) {
    return QStringView(t).sliced(i).startsWith(u"http");
}
// [A-Za-z0-9._%+-]+@ : a match inside a run extends to the run's start, where the search finds
// it first, and the run must end in "@".
inline bool email(const QString& t, qsizetype i) {
    return i < t.size() && isAddressCharacter(t[i]) && (i == 0 || !isAddressCharacter(t[i - 1])) &&
           at(t, runEnd(t, i, isAddressCharacter)) == u'@';
}
// (?:\./)?(?:[A-Za-z0-9_.-]+/)+ : likewise, the run must end in "/".
inline bool path(const QString& t, qsizetype i) {
    return i < t.size() && isPathCharacter(t[i]) && (i == 0 || !isPathCharacter(t[i - 1])) &&
           at(t, runEnd(t, i, isPathCharacter)) == u'/';
}
// \b[A-Za-z0-9_-]+\.
inline bool fileName(const QString& t, qsizetype i) {
    if (i >= t.size() || !(t[i] == u'-' || (isAsciiWordCharacter(t[i]) && afterNonWord(t, i)))) {
        return false;
    }
    return at(t, runEnd(t, i, isFileNameCharacter)) == u'.';
}
// (?<![A-Za-z0-9_])--?
inline bool flag(const QString& t, qsizetype i) {
    return i < t.size() && t[i] == u'-' && afterNonWord(t, i);
}
// \b[A-Za-z][A-Za-z0-9]*_
inline bool snakeCase(const QString& t, qsizetype i) {
    return wordStart(t, i) && at(t, runEnd(t, i + 1, isAsciiAlphanumeric)) == u'_';
}
// \b(?:[a-z]+[A-Z]|[A-Z][A-Za-z0-9]+[A-Z]) : an upper-case letter after the first.
inline bool camelCase(const QString& t, qsizetype i) {
    if (!wordStart(t, i)) {
        return false;
    }
    const qsizetype end = runEnd(t, i + 1, isAsciiAlphanumeric);
    for (qsizetype k = i + 1; k < end; ++k) {
        if (isAsciiUpper(t[k])) {
            return true;
        }
    }
    return false;
}
// \b[A-Z][a-z]{2,}
inline bool capitalised(const QString& t, qsizetype i) {
    return wordStart(t, i) && isAsciiUpper(t[i]) && isAsciiLower(at(t, i + 1)) &&
           isAsciiLower(at(t, i + 2));
}
// \b\p{Lu}\p{Ll}{2,}: an upper-case letter of any script (or half of one beyond the BMP).
inline bool capitalisedInAnyScript(const QString& t, qsizetype i) {
    return i < t.size() && (t[i].isUpper() || t[i].isHighSurrogate()) &&
           (i == 0 || !(t[i - 1].isLetterOrNumber() || t[i - 1] == u'_'));
}
// \b[A-Z]{2,}
inline bool acronym(const QString& t, qsizetype i) {
    return wordStart(t, i) && isAsciiUpper(t[i]) && isAsciiUpper(at(t, i + 1));
}
// \b[A-Z][A-Z0-9_]*\d : a digit inside the run or right after it.
inline bool upperCaseCode(const QString& t, qsizetype i) {
    if (!wordStart(t, i) || !isAsciiUpper(t[i])) {
        return false;
    }
    const auto inRun = [](QChar c) { return isAsciiUpper(c) || isAsciiDigit(c) || c == u'_'; };
    const qsizetype end = runEnd(t, i + 1, inRun);
    for (qsizetype k = i + 1; k < end; ++k) {
        if (isAsciiDigit(t[k])) {
            return true;
        }
    }
    return mayBeDigit(at(t, end));
}
// \b[A-Za-z][A-Za-z0-9]*<
inline bool genericType(const QString& t, qsizetype i) {
    return wordStart(t, i) && at(t, runEnd(t, i + 1, isAsciiAlphanumeric)) == u'<';
}
// \b\d+(?:\.\d+)+
inline bool version(const QString& t, qsizetype i) {
    return i < t.size() && mayBeDigit(t[i]) && afterNonWord(t, i) &&
           at(t, runEnd(t, i, mayBeDigit)) == u'.';
}
// \b\d+
inline bool number(const QString& t, qsizetype i) {
    return i < t.size() && mayBeDigit(t[i]) && afterNonWord(t, i);
}

} // namespace quovant::fact_patterns
