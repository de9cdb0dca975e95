#include "speech/vocabulary_language_model.h"

#include "speech/pronunciations.h"
#include "speech/recognition_context_builder.h"

#include <QHash>
#include <QMap>
#include <QSet>

#include <cmath>
#include <optional>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

// Where a term usually stands in dictation: alone, after a few common words, before a verb. The
// carrier words and the sentence end get no probability of their own, so that the mix raises
// them nowhere: only a term is likelier, and the end after a term.
const QStringList kBefore = {u"the"_s, u"and"_s, u"with"_s, u"to"_s};
const QStringList kAfter = {u"is"_s};
// The share of an unseen bigram's history that goes to the unigrams.
constexpr double kDiscount = 0.5;
constexpr int kLongestSplitWord = 32;
// Identifiers up to this length are often spelled out ("kubectl", "GraphQL").
constexpr int kLongestSpelledWord = 8;

bool hasVowel(const QString& word) {
    for (const QChar c : word)
        if (QStringView(u"aeiouyAEIOUY").contains(c))
            return true;
    return false;
}

bool isAsciiAlphanumeric(const QString& word) {
    for (const QChar c : word)
        if (!(c.isDigit() || (c.unicode() < 128 && c.isLetter())))
            return false;
    return !word.isEmpty();
}

bool isDigits(const QString& word) {
    for (const QChar c : word)
        if (!(c >= u'0' && c <= u'9'))
            return false;
    return !word.isEmpty();
}

bool isUpperCase(const QString& word) {
    return word == word.toUpper() && word != word.toLower();
}

// A word the decoder can hold: no blanks, no marks it reads as fillers or variants.
bool isWritable(const QString& word) {
    if (word.isEmpty() || !word.front().isLetterOrNumber())
        return false;
    for (const QChar c : word)
        if (!(c.isLetterOrNumber() || c.isMark() || QStringView(u"'.-_+").contains(c)))
            return false;
    return true;
}

QString withoutEdgePunctuation(QString token) {
    while (!token.isEmpty() && !token.front().isLetterOrNumber())
        token.remove(0, 1);
    while (!token.isEmpty() && !token.back().isLetterOrNumber())
        token.chop(1);
    return token;
}

const QStringList& digitWords() {
    static const QStringList words = {u"zero"_s, u"one"_s, u"two"_s,   u"three"_s, u"four"_s,
                                      u"five"_s, u"six"_s, u"seven"_s, u"eight"_s, u"nine"_s};
    return words;
}

// The fewest pieces covering `word` with dictionary words of three letters or more and runs
// without vowels (spoken letter by letter), as one pronunciation; empty when there is none or
// when the word is a single piece.
QString piecewise(const QString& word, const VocabularyLanguageModel::Dictionary& dictionary) {
    const qsizetype n = word.size();
    if (n < 4 || n > kLongestSplitWord || !isAsciiAlphanumeric(word))
        return {};
    std::vector<int> fewest(std::size_t(n) + 1, -1);
    std::vector<std::pair<qsizetype, QString>> from(std::size_t(n) + 1);
    fewest[0] = 0;
    for (qsizetype end = 1; end <= n; ++end) {
        for (qsizetype start = 0; start < end; ++start) {
            if (fewest[std::size_t(start)] < 0)
                continue;
            const QString piece = word.mid(start, end - start);
            QString phones;
            if (piece.size() >= 3)
                phones = dictionary(piece);
            if (phones.isEmpty() && piece.size() <= 4 && !hasVowel(piece))
                phones = Pronunciations::spelled(piece);
            if (phones.isEmpty())
                continue;
            const int count = fewest[std::size_t(start)] + 1;
            if (fewest[std::size_t(end)] < 0 || count < fewest[std::size_t(end)]) {
                fewest[std::size_t(end)] = count;
                from[std::size_t(end)] = {start, phones};
            }
        }
    }
    if (fewest[std::size_t(n)] < 2)
        return {};
    QStringList pieces;
    for (qsizetype end = n; end > 0; end = from[std::size_t(end)].first)
        pieces.prepend(from[std::size_t(end)].second);
    return pieces.join(u' ');
}

// How a part of an identifier is said without asking the guesser, if it can be known.
QString knownPart(const QString& part, const VocabularyLanguageModel::Dictionary& dictionary) {
    const QString lower = part.toLower();
    if (const QString phones = dictionary(lower); !phones.isEmpty())
        return phones;
    if (isAsciiAlphanumeric(part) &&
        (isDigits(part) || !hasVowel(lower) || (isUpperCase(part) && part.size() <= 5)))
        return Pronunciations::spelled(part);
    return piecewise(lower, dictionary);
}

QStringList identifierParts(const QString& token) {
    QString split = RecognitionContextBuilder::splitIdentifier(token);
    split.replace(u'.', u' ').replace(u'+', u' ').replace(u'\'', u' ');
    return split.split(u' ', Qt::SkipEmptyParts);
}

void appendUnique(QStringList& list, const QString& value) {
    if (!value.isEmpty() && !list.contains(value))
        list.append(value);
}

QByteArray logText(double probability) {
    return QByteArray::number(probability > 0 ? std::log10(probability) : -99.0, 'f', 6);
}

} // namespace

VocabularyLanguageModel VocabularyLanguageModel::build(const QStringList& terms,
                                                       const Dictionary& dictionary,
                                                       const Guesser& guesser) {
    // First the words of every term; what the dictionary lacks waits for one guess.
    struct Pending {
        QString token;
        QString text;
        QStringList parts; // known pronunciation of each part, or empty to be guessed
    };
    std::vector<QStringList> termWords;
    std::vector<Pending> pending;
    QHash<QString, qsizetype> pendingIndex;
    QStringList toGuess;
    for (const QString& term : terms) {
        QStringList words;
        for (const QString& raw : term.split(u' ', Qt::SkipEmptyParts)) {
            const QString token = withoutEdgePunctuation(raw);
            if (token.isEmpty())
                continue;
            const QString lower = token.toLower();
            if (isDigits(token)) {
                for (const QChar digit : token)
                    words.append(digitWords()[digit.unicode() - u'0']);
                continue;
            }
            if (!dictionary(lower).isEmpty()) {
                words.append(lower);
                continue;
            }
            if (!isWritable(token))
                continue;
            words.append(lower);
            if (pendingIndex.contains(lower))
                continue;
            Pending entry{token, lower, {}};
            const QStringList parts = identifierParts(token);
            for (const QString& part : parts) {
                const QString known = knownPart(part, dictionary);
                entry.parts.append(known);
                if (known.isEmpty() && !toGuess.contains(part))
                    toGuess.append(part);
            }
            if (!toGuess.contains(token))
                toGuess.append(token);
            pendingIndex.insert(lower, qsizetype(pending.size()));
            pending.push_back(std::move(entry));
        }
        if (!words.isEmpty())
            termWords.push_back(words);
    }

    QHash<QString, QString> guessed;
    if (!toGuess.isEmpty() && guesser) {
        const QStringList answers = guesser(toGuess);
        for (qsizetype i = 0; i < toGuess.size() && i < answers.size(); ++i)
            guessed.insert(toGuess[i], answers[i]);
    }

    VocabularyLanguageModel model;
    QSet<QString> unpronounceable;
    for (const Pending& entry : pending) {
        Word word{entry.text, {}};
        appendUnique(word.pronunciations, guessed.value(entry.token));
        const QStringList parts = identifierParts(entry.token);
        QStringList pieces;
        for (qsizetype i = 0; i < entry.parts.size() && i < parts.size(); ++i) {
            const QString phones =
                entry.parts[i].isEmpty() ? guessed.value(parts[i]) : entry.parts[i];
            if (phones.isEmpty()) {
                pieces.clear();
                break;
            }
            pieces.append(phones);
        }
        if (pieces.size() == parts.size())
            appendUnique(word.pronunciations, pieces.join(u' '));
        if (entry.token.size() <= kLongestSpelledWord || isUpperCase(entry.token) ||
            !hasVowel(entry.text))
            appendUnique(word.pronunciations, Pronunciations::spelled(entry.token));
        if (word.pronunciations.isEmpty()) {
            unpronounceable.insert(entry.text);
            continue;
        }
        model.newWords.push_back(std::move(word));
    }

    // A term's spoken form ("speech analyzer" beside "SpeechAnalyzer") would only compete with the
    // written one, which the new word already says that way.
    QSet<QString> joined;
    for (const QStringList& words : termWords)
        if (words.size() == 1)
            joined.insert(words.front());
    for (const QStringList& words : termWords) {
        if (words.size() > 1 && joined.contains(words.join(QString())))
            continue;
        QStringList kept;
        for (const QString& word : words)
            if (!unpronounceable.contains(word))
                kept.append(word);
        // A term that lost a word would teach a sequence nobody says.
        if (kept.size() == words.size())
            appendUnique(model.phrases, kept.join(u' '));
    }
    QSet<QString> used;
    for (const QString& phrase : std::as_const(model.phrases))
        for (const QString& word : phrase.split(u' '))
            used.insert(word);
    std::erase_if(model.newWords, [&](const Word& word) { return !used.contains(word.text); });
    if (!model.phrases.isEmpty())
        model.arpa = arpaOf(model.phrases);
    return model;
}

QByteArray VocabularyLanguageModel::arpaOf(const QStringList& phrases) {
    const QString start = u"<s>"_s;
    const QString end = u"</s>"_s;
    QMap<QString, double> unigrams;
    QMap<QString, QMap<QString, double>> bigrams;
    QSet<QString> termWords;
    for (const QString& phrase : phrases)
        for (const QString& word : phrase.split(u' ', Qt::SkipEmptyParts))
            termWords.insert(word);
    const auto add = [&](const QStringList& words, bool sentence) {
        QString previous = sentence ? start : QString();
        for (const QString& word : sentence ? words + QStringList{end} : words) {
            unigrams[word] += termWords.contains(word) ? 1 : 0;
            if (!previous.isEmpty())
                bigrams[previous][word] += 1;
            previous = word;
        }
    };
    for (const QString& phrase : phrases) {
        const QStringList words = phrase.split(u' ', Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        add(words, true);
        for (const QString& before : kBefore)
            add(QStringList{before} + words, false);
        for (const QString& after : kAfter)
            add(words + QStringList{after}, false);
    }
    double total = 0;
    for (const double count : std::as_const(unigrams))
        total += count;
    const auto unigram = [&](const QString& word) { return unigrams.value(word) / total; };

    QByteArray bigramLines;
    int bigramCount = 0;
    QMap<QString, double> backoff;
    for (auto history = bigrams.cbegin(); history != bigrams.cend(); ++history) {
        double seen = 0;
        for (const double count : history.value())
            seen += count;
        double covered = 0;
        for (auto next = history.value().cbegin(); next != history.value().cend(); ++next) {
            bigramLines += logText((next.value() - kDiscount) / seen) + ' ' +
                           history.key().toUtf8() + ' ' + next.key().toUtf8() + '\n';
            covered += unigram(next.key());
            ++bigramCount;
        }
        const double left = kDiscount * double(history.value().size()) / seen;
        backoff[history.key()] = covered < 1 ? left / (1 - covered) : 0;
    }

    QByteArray text = "\\data\\\nngram 1=" + QByteArray::number(unigrams.size() + 1) +
                      "\nngram 2=" + QByteArray::number(bigramCount) + "\n\n\\1-grams:\n";
    text += "-99.000000 <s> " + logText(backoff.value(start)) + '\n';
    for (auto word = unigrams.cbegin(); word != unigrams.cend(); ++word) {
        text += logText(word.value() / total) + ' ' + word.key().toUtf8();
        if (backoff.contains(word.key()))
            text += ' ' + logText(backoff.value(word.key()));
        text += '\n';
    }
    text += "\n\\2-grams:\n" + bigramLines + "\n\\end\\\n";
    return text;
}

} // namespace quovant
