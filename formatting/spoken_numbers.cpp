#include "formatting/spoken_numbers.h"

#include "core/unicode_text.h"

#include <QHash>

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

char32_t codePointAt(const QString& text, qsizetype i, qsizetype* length) {
    const QChar c = text[i];
    if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
        *length = 2;
        return QChar::surrogateToUcs4(c, text[i + 1]);
    }
    *length = 1;
    return c.unicode();
}

bool isApostrophe(char32_t c) {
    return c == u'\'' || c == 0x2019 || c == 0x2018 || c == 0x02BC || c == 0xFF07;
}

// The value of a decimal digit of any script, or -1.
int digitValue(char32_t c) {
    if (c >= u'0' && c <= u'9') {
        return int(c - u'0');
    }
    return c > 0x7f && unicode::isDigit(c) ? QChar::digitValue(c) : -1;
}

bool isLetter(char32_t c) {
    if (c < 0x80) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    }
    return unicode::isLetter(c);
}

bool isWordCharacter(char32_t c) {
    if (c < 0x80) {
        return isLetter(c) || (c >= u'0' && c <= u'9');
    }
    return unicode::isLetter(c) || unicode::isMark(c) || digitValue(c) >= 0;
}

QString withoutLeadingZeros(const QString& digits) {
    qsizetype i = 0;
    while (i + 1 < digits.size() && digits[i] == u'0' && digits[i + 1].isDigit()) {
        ++i;
    }
    return digits.mid(i);
}

QString canonicalNumber(const QString& written) {
    const qsizetype colon = written.indexOf(u':');
    if (colon >= 0) {
        return withoutLeadingZeros(written.left(colon)) + written.mid(colon);
    }
    return withoutLeadingZeros(written);
}

QString lettersAt(const QString& text, qsizetype i) {
    qsizetype end = i;
    while (end < text.size()) {
        qsizetype length = 1;
        const char32_t c = codePointAt(text, end, &length);
        if (!isLetter(c)) {
            break;
        }
        end += length;
    }
    return text.mid(i, end - i);
}

} // namespace

QList<TextToken> SpokenNumbers::tokens(const QString& input) {
    const QString text = unicode::toNfc(input);
    QList<TextToken> result;
    result.reserve(text.size() / 5 + 1);
    qsizetype i = 0;
    while (i < text.size()) {
        qsizetype length = 1;
        const char32_t c = codePointAt(text, i, &length);
        if (digitValue(c) >= 0) {
            // Digits with the separators of times, decimals and thousands inside them.
            const qsizetype start = i;
            QString digits;
            while (i < text.size()) {
                const char32_t d = codePointAt(text, i, &length);
                const int value = digitValue(d);
                if (value >= 0) {
                    digits += QChar(u'0' + value);
                    i += length;
                    continue;
                }
                if ((d == u'.' || d == u':' || d == u',') && i + 1 < text.size()) {
                    qsizetype nextLength = 1;
                    if (digitValue(codePointAt(text, i + 1, &nextLength)) < 0) {
                        break;
                    }
                    if (d == u',') {
                        // A thousands separator has exactly three digits after it.
                        qsizetype k = i + 1;
                        int count = 0;
                        while (k < text.size() && text[k].isDigit()) {
                            ++k;
                            ++count;
                        }
                        if (count != 3) {
                            break;
                        }
                    } else {
                        digits += QChar(d);
                    }
                    i += 1;
                    continue;
                }
                break;
            }
            TextToken token{canonicalNumber(digits), text.mid(start, i - start), true, start, i};
            const QString letters = lettersAt(text, i);
            const QString lower = unicode::toLower(letters);
            if (lower == u"st"_s || lower == u"nd"_s || lower == u"rd"_s || lower == u"th"_s) {
                i += letters.size();
                token.end = i;
                token.original = text.mid(start, i - start);
            }
            result.append(token);
            continue;
        }
        if (isLetter(c) || (c >= 0x300 && unicode::isMark(c))) {
            const qsizetype start = i;
            bool apostrophes = false;
            while (i < text.size()) {
                const char32_t d = codePointAt(text, i, &length);
                if (isWordCharacter(d)) {
                    i += length;
                    continue;
                }
                qsizetype nextLength = 1;
                if (isApostrophe(d) && i + 1 < text.size() &&
                    isLetter(codePointAt(text, i + 1, &nextLength))) {
                    apostrophes = true;
                    i += 1;
                    continue;
                }
                break;
            }
            const QString original = text.mid(start, i - start);
            const bool lowerAlready = std::all_of(original.cbegin(), original.cend(), [](QChar ch) {
                return ch.unicode() < 0x80 && !(ch >= u'A' && ch <= u'Z');
            });
            QString lower = lowerAlready ? original : unicode::toLower(original);
            if (apostrophes) {
                for (QChar& ch : lower) {
                    if (isApostrophe(ch.unicode())) {
                        ch = u'\'';
                    }
                }
            }
            result.append(TextToken{std::move(lower), original, false, start, i});
            continue;
        }
        i += length;
    }
    return result;
}

namespace {

enum class Kind { unit, teen, tens };

struct NumberWord {
    int value;
    Kind kind;
    bool ordinal;
};

const QHash<QString, NumberWord>& numberWords() {
    static const QHash<QString, NumberWord> kWords = {
        {u"one"_s, {1, Kind::unit, false}},        {u"two"_s, {2, Kind::unit, false}},
        {u"three"_s, {3, Kind::unit, false}},      {u"four"_s, {4, Kind::unit, false}},
        {u"five"_s, {5, Kind::unit, false}},       {u"six"_s, {6, Kind::unit, false}},
        {u"seven"_s, {7, Kind::unit, false}},      {u"eight"_s, {8, Kind::unit, false}},
        {u"nine"_s, {9, Kind::unit, false}},       {u"ten"_s, {10, Kind::teen, false}},
        {u"eleven"_s, {11, Kind::teen, false}},    {u"twelve"_s, {12, Kind::teen, false}},
        {u"thirteen"_s, {13, Kind::teen, false}},  {u"fourteen"_s, {14, Kind::teen, false}},
        {u"fifteen"_s, {15, Kind::teen, false}},   {u"sixteen"_s, {16, Kind::teen, false}},
        {u"seventeen"_s, {17, Kind::teen, false}}, {u"eighteen"_s, {18, Kind::teen, false}},
        {u"nineteen"_s, {19, Kind::teen, false}},  {u"twenty"_s, {20, Kind::tens, false}},
        {u"thirty"_s, {30, Kind::tens, false}},    {u"forty"_s, {40, Kind::tens, false}},
        {u"fifty"_s, {50, Kind::tens, false}},     {u"sixty"_s, {60, Kind::tens, false}},
        {u"seventy"_s, {70, Kind::tens, false}},   {u"eighty"_s, {80, Kind::tens, false}},
        {u"ninety"_s, {90, Kind::tens, false}},    {u"first"_s, {1, Kind::unit, true}},
        {u"second"_s, {2, Kind::unit, true}},      {u"third"_s, {3, Kind::unit, true}},
        {u"fourth"_s, {4, Kind::unit, true}},      {u"fifth"_s, {5, Kind::unit, true}},
        {u"sixth"_s, {6, Kind::unit, true}},       {u"seventh"_s, {7, Kind::unit, true}},
        {u"eighth"_s, {8, Kind::unit, true}},      {u"ninth"_s, {9, Kind::unit, true}},
        {u"tenth"_s, {10, Kind::teen, true}},      {u"eleventh"_s, {11, Kind::teen, true}},
        {u"twelfth"_s, {12, Kind::teen, true}},    {u"thirteenth"_s, {13, Kind::teen, true}},
        {u"fourteenth"_s, {14, Kind::teen, true}}, {u"fifteenth"_s, {15, Kind::teen, true}},
        {u"sixteenth"_s, {16, Kind::teen, true}},  {u"seventeenth"_s, {17, Kind::teen, true}},
        {u"eighteenth"_s, {18, Kind::teen, true}}, {u"nineteenth"_s, {19, Kind::teen, true}},
        {u"twentieth"_s, {20, Kind::tens, true}},  {u"thirtieth"_s, {30, Kind::tens, true}},
        {u"fortieth"_s, {40, Kind::tens, true}},   {u"fiftieth"_s, {50, Kind::tens, true}},
        {u"sixtieth"_s, {60, Kind::tens, true}},   {u"seventieth"_s, {70, Kind::tens, true}},
        {u"eightieth"_s, {80, Kind::tens, true}},  {u"ninetieth"_s, {90, Kind::tens, true}},
    };
    return kWords;
}

qint64 scaleOf(const QString& word) {
    if (word == u"thousand"_s) {
        return 1000;
    }
    if (word == u"million"_s) {
        return 1000000;
    }
    if (word == u"billion"_s) {
        return 1000000000;
    }
    return 0;
}

bool isZeroWord(const QString& word) {
    return word == u"zero"_s || word == u"nought"_s || word == u"oh"_s || word == u"o"_s;
}

struct Parsed {
    qint64 value = 0;
    qsizetype next = 0;
    bool ordinal = false;
};

class Parser {
public:
    explicit Parser(const QList<TextToken>& tokens) : m_tokens(tokens) {}

    QString word(qsizetype i) const {
        return i < m_tokens.size() && !m_tokens[i].number ? m_tokens[i].text : QString();
    }
    const NumberWord* numberWord(qsizetype i) const {
        const auto it = numberWords().constFind(word(i));
        return it == numberWords().constEnd() ? nullptr : &*it;
    }
    // A single spoken digit, as decimals and telephone numbers are read.
    std::optional<int> digitWord(qsizetype i) const {
        const QString w = word(i);
        if (w == u"zero"_s || w == u"oh"_s || w == u"o"_s || w == u"nought"_s) {
            return 0;
        }
        const NumberWord* n = numberWord(i);
        if (n && n->kind == Kind::unit && !n->ordinal) {
            return n->value;
        }
        return std::nullopt;
    }

    std::optional<Parsed> belowHundred(qsizetype j) const {
        const NumberWord* n = numberWord(j);
        if (!n) {
            return std::nullopt;
        }
        if (n->kind == Kind::tens && !n->ordinal) {
            const NumberWord* unit = numberWord(j + 1);
            if (unit && unit->kind == Kind::unit) {
                return Parsed{n->value + unit->value, j + 2, unit->ordinal};
            }
        }
        return Parsed{n->value, j + 1, n->ordinal};
    }

    std::optional<Parsed> belowThousand(qsizetype j) const {
        qint64 hundreds = 0;
        qsizetype at = j;
        if (word(j) == u"a"_s && (word(j + 1) == u"hundred"_s || word(j + 1) == u"hundredth"_s)) {
            hundreds = 1;
            at = j + 1;
        } else if (word(j) == u"hundred"_s) {
            hundreds = 1;
        } else {
            const std::optional<Parsed> small = belowHundred(j);
            if (!small) {
                return std::nullopt;
            }
            const QString after = word(small->next);
            if (small->ordinal || (after != u"hundred"_s && after != u"hundredth"_s)) {
                return small;
            }
            hundreds = small->value;
            at = small->next;
        }
        Parsed result{hundreds * 100, at + 1, word(at) == u"hundredth"_s};
        if (result.ordinal) {
            return result;
        }
        qsizetype rest = result.next;
        if (word(rest) == u"and"_s && belowHundred(rest + 1)) {
            ++rest;
        }
        if (const std::optional<Parsed> tail = belowHundred(rest)) {
            result.value += tail->value;
            result.next = tail->next;
            result.ordinal = tail->ordinal;
        }
        return result;
    }

    std::optional<Parsed> number(qsizetype j) const {
        Parsed total{0, j, false};
        qint64 lastScale = 0;
        bool any = false;
        qsizetype at = j;
        while (true) {
            std::optional<Parsed> part;
            if ((word(at) == u"a"_s || !any) && scaleOf(word(at + (word(at) == u"a"_s))) > 0) {
                part = Parsed{1, at + (word(at) == u"a"_s ? 1 : 0), false};
            } else {
                part = belowThousand(at);
            }
            if (!part) {
                break;
            }
            const qint64 scale = part->ordinal ? 0 : scaleOf(word(part->next));
            if (scale > 0 && (lastScale == 0 || scale < lastScale) && part->value < 1000) {
                total.value += part->value * scale;
                at = part->next + 1;
                lastScale = scale;
                any = true;
                total.next = at;
                if (word(at) == u"and"_s && belowThousand(at + 1)) {
                    ++at;
                }
                continue;
            }
            if (part->value == 1 && part->next == at && scale == 0) {
                break; // a bare "a"
            }
            total.value += part->value;
            total.next = part->next;
            total.ordinal = part->ordinal;
            any = true;
            break;
        }
        if (!any) {
            return std::nullopt;
        }
        return total;
    }

private:
    const QList<TextToken>& m_tokens;
};

struct Group {
    QString digits;
    bool integer = true;
    QStringList alternatives; // "5:00" for "five o'clock"
};

void addReadings(const QList<Group>& groups, qsizetype a, qsizetype b, QSet<QString>& into) {
    if (b - a == 1) {
        into.insert(groups[a].digits);
        for (const QString& alternative : groups[a].alternatives) {
            into.insert(alternative);
        }
        return;
    }
    bool allIntegers = true;
    QString joined;
    for (qsizetype k = a; k < b; ++k) {
        allIntegers = allIntegers && groups[k].integer;
        joined += groups[k].digits;
    }
    if (!allIntegers) {
        return;
    }
    into.insert(withoutLeadingZeros(joined));
    if (b - a == 2 && groups[a + 1].digits.size() == 2) {
        const QString& hour = groups[a].digits;
        const QString& minutes = groups[a + 1].digits;
        if (hour.size() <= 2 && hour.toInt() <= 24 && minutes.toInt() <= 59) {
            into.insert(withoutLeadingZeros(hour) + u':' + minutes);
        }
        into.insert(withoutLeadingZeros(hour) + u'.' + minutes);
    }
}

// Words a spoken number can begin with; everything else is skipped with one look-up.
bool mayStartNumber(const QString& word) {
    static const QSet<QString> kStarts = [] {
        QSet<QString> starts{u"a"_s,    u"hundred"_s,  u"point"_s,   u"zero"_s,
                             u"nought"_s, u"thousand"_s, u"million"_s, u"billion"_s};
        for (auto it = numberWords().cbegin(); it != numberWords().cend(); ++it) {
            starts.insert(it.key());
        }
        return starts;
    }();
    return kStarts.contains(word);
}

bool isHesitation(const QString& word) {
    static const QSet<QString> kHesitations{u"um"_s, u"uh"_s,  u"erm"_s, u"er"_s,
                                            u"ah"_s, u"hmm"_s, u"mm"_s,  u"mhm"_s};
    return kHesitations.contains(word);
}

} // namespace

bool SpokenNumbers::isNumberWord(const QString& word) {
    return numberWords().contains(word) || scaleOf(word) > 0 || word == u"hundred"_s ||
           word == u"hundredth"_s || word == u"zero"_s || word == u"nought"_s ||
           word == u"point"_s;
}

QList<NumberRun> SpokenNumbers::runs(const QList<TextToken>& tokens) {
    const Parser parser(tokens);
    QList<NumberRun> result;
    // The group that starts at `i`, if any, and the index after it.
    const auto groupAt = [&](qsizetype i, bool inRun) -> std::optional<std::pair<Group, qsizetype>> {
        if (i >= tokens.size()) {
            return std::nullopt;
        }
        Group group;
        qsizetype next = i + 1;
        if (tokens[i].number) {
            group.digits = tokens[i].text;
            group.integer = std::all_of(group.digits.cbegin(), group.digits.cend(),
                                        [](QChar c) { return c.isDigit(); });
        } else if (inRun && isZeroWord(tokens[i].text) && parser.digitWord(i + 1) &&
                   !isZeroWord(tokens[i + 1].text)) {
            // "five oh five": a two-digit group.
            group.digits = u"0"_s + QString::number(*parser.digitWord(i + 1));
            next = i + 2;
        } else if (tokens[i].text == u"zero"_s || tokens[i].text == u"nought"_s ||
                   (inRun && isZeroWord(tokens[i].text))) {
            group.digits = u"0"_s;
        } else if (const std::optional<Parsed> parsed = parser.number(i)) {
            group.digits = QString::number(parsed->value);
            next = parsed->next;
        } else if (tokens[i].text == u"point"_s && parser.digitWord(i + 1)) {
            group.digits = u"0"_s;
            next = i;
        } else {
            return std::nullopt;
        }
        // Decimals: "two point three", "point five".
        if (group.integer && parser.word(next) == u"point"_s &&
            (parser.digitWord(next + 1) || (next + 1 < tokens.size() && tokens[next + 1].number))) {
            QString fraction;
            qsizetype k = next + 1;
            while (k < tokens.size()) {
                if (const std::optional<int> d = parser.digitWord(k)) {
                    fraction += QString::number(*d);
                } else if (tokens[k].number && fraction.isEmpty()) {
                    fraction = tokens[k].text;
                    ++k;
                    break;
                } else {
                    break;
                }
                ++k;
            }
            group.digits += u'.' + fraction;
            group.integer = false;
            next = k;
        }
        if (group.integer && group.digits.size() <= 2) {
            const bool oclock = parser.word(next) == u"o'clock"_s ||
                                (parser.word(next) == u"o"_s && parser.word(next + 1) == u"clock"_s);
            if (oclock) {
                group.alternatives.append(group.digits + u":00"_s);
                next += parser.word(next) == u"o'clock"_s ? 1 : 2;
            }
        }
        return std::make_pair(group, next);
    };

    constexpr qsizetype kLongestStretch = 12;
    qsizetype i = 0;
    while (i < tokens.size()) {
        if (!tokens[i].number && !mayStartNumber(tokens[i].text)) {
            ++i;
            continue;
        }
        auto first = groupAt(i, false);
        if (!first) {
            ++i;
            continue;
        }
        NumberRun run;
        run.first = i;
        QList<Group> groups{first->first};
        qsizetype next = first->second;
        while (auto more = groupAt(next, true)) {
            groups.append(more->first);
            next = more->second;
        }
        run.end = next;
        run.ambiguous = groups.size() == 1 && next == i + 1 && !tokens[i].number &&
                        (tokens[i].text == u"one"_s || tokens[i].text == u"first"_s ||
                         tokens[i].text == u"second"_s);
        for (const Group& group : groups) {
            run.groups.append(group.digits);
        }
        addReadings(groups, 0, groups.size(), run.wholeReadings);
        for (qsizetype a = 0; a < groups.size(); ++a) {
            for (qsizetype b = a + 1; b <= groups.size() && b - a <= kLongestStretch; ++b) {
                addReadings(groups, a, b, run.forms);
            }
        }
        qsizetype c = next;
        while (c < tokens.size() && !tokens[c].number && isHesitation(tokens[c].text)) {
            ++c;
        }
        if (c < tokens.size() && !tokens[c].number) {
            run.counted = tokens[c].text;
            // Letters spoken one by one ("a m") make one word ("am").
            if (run.counted.size() == 1) {
                for (qsizetype k = c + 1; k < tokens.size() && !tokens[k].number &&
                                          tokens[k].text.size() == 1;
                     ++k) {
                    run.counted += tokens[k].text;
                }
            }
        }
        result.append(run);
        i = next;
    }
    return result;
}

} // namespace quovant
