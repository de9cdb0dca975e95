#include "settings/learner.h"

#include "core/unicode_text.h"
#include "settings/data_file.h"
#include "settings/json_text.h"
#include "settings/log.h"
#include "settings/paths.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

#include <pthread.h>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

constexpr auto kSaveDelay = std::chrono::seconds(1);
const QString kFileName = u"learned.json"_s;
const QString kInvalidFileName = u"learned.invalid.json"_s;
// Far beyond any real vocabulary; a larger file is set aside rather than parsed for minutes.
constexpr qint64 kMaximumFileBytes = 32 * 1024 * 1024;

const QSet<QString>& commonWords() {
    static const QSet<QString> kWords{
        u"the"_s,       u"and"_s,       u"for"_s,       u"are"_s,        u"but"_s,
        u"not"_s,       u"you"_s,       u"all"_s,       u"any"_s,        u"can"_s,
        u"had"_s,       u"her"_s,       u"was"_s,       u"one"_s,        u"our"_s,
        u"out"_s,       u"day"_s,       u"get"_s,       u"has"_s,        u"him"_s,
        u"his"_s,       u"how"_s,       u"man"_s,       u"new"_s,        u"now"_s,
        u"old"_s,       u"see"_s,       u"two"_s,       u"way"_s,        u"who"_s,
        u"boy"_s,       u"did"_s,       u"its"_s,       u"let"_s,        u"put"_s,
        u"say"_s,       u"she"_s,       u"too"_s,       u"use"_s,        u"that"_s,
        u"with"_s,      u"have"_s,      u"this"_s,      u"will"_s,       u"your"_s,
        u"from"_s,      u"they"_s,      u"know"_s,      u"want"_s,       u"been"_s,
        u"good"_s,      u"much"_s,      u"some"_s,      u"time"_s,       u"very"_s,
        u"when"_s,      u"come"_s,      u"here"_s,      u"just"_s,       u"like"_s,
        u"long"_s,      u"make"_s,      u"many"_s,      u"over"_s,       u"such"_s,
        u"take"_s,      u"than"_s,      u"them"_s,      u"well"_s,       u"were"_s,
        u"what"_s,      u"would"_s,     u"there"_s,     u"their"_s,      u"about"_s,
        u"could"_s,     u"other"_s,     u"after"_s,     u"first"_s,      u"never"_s,
        u"these"_s,     u"think"_s,     u"where"_s,     u"being"_s,      u"every"_s,
        u"great"_s,     u"might"_s,     u"shall"_s,     u"still"_s,      u"those"_s,
        u"under"_s,     u"while"_s,     u"should"_s,    u"really"_s,     u"actually"_s,
        u"basically"_s, u"literally"_s, u"something"_s, u"everything"_s, u"nothing"_s,
        u"anything"_s,  u"someone"_s,   u"anyone"_s,    u"because"_s,    u"before"_s,
        u"between"_s,   u"through"_s,   u"around"_s,    u"however"_s,    u"together"_s,
        u"yeah"_s,      u"okay"_s,      u"gonna"_s,     u"wanna"_s,      u"kinda"_s,
        u"sorta"_s,     u"stuff"_s,     u"thing"_s,     u"things"_s,     u"going"_s,
        u"doing"_s,     u"getting"_s,   u"looking"_s,   u"trying"_s,     u"making"_s,
        u"need"_s,      u"needs"_s,     u"needed"_s,    u"let's"_s,      u"dont"_s,
        u"cant"_s,      u"wont"_s,      u"thats"_s,     u"weve"_s,       u"ill"_s,
        u"ive"_s,       u"youre"_s,     u"hes"_s,       u"shes"_s,       u"theyre"_s,
        u"lets"_s,      u"yes"_s,       u"does"_s,      u"done"_s,       u"went"_s,
        u"goes"_s,      u"said"_s,      u"says"_s,      u"tell"_s,       u"told"_s,
        u"ask"_s,       u"asked"_s,     u"give"_s,      u"gave"_s,       u"find"_s,
        u"found"_s,     u"feel"_s,      u"felt"_s,      u"seem"_s,       u"seems"_s,
        u"keep"_s,      u"kept"_s,      u"turn"_s,      u"turned"_s,     u"start"_s,
        u"started"_s,   u"stop"_s,      u"stopped"_s,   u"help"_s,       u"helps"_s,
        u"work"_s,      u"works"_s,     u"worked"_s,    u"call"_s,       u"called"_s,
        u"move"_s,      u"moved"_s,     u"live"_s,      u"lived"_s,      u"show"_s,
        u"showed"_s,    u"play"_s,      u"played"_s,    u"run"_s,        u"runs"_s,
        u"back"_s,      u"down"_s,      u"only"_s,      u"then"_s,       u"also"_s,
        u"into"_s,      u"most"_s,      u"made"_s,      u"even"_s,       u"must"_s,
        u"part"_s,      u"both"_s,      u"last"_s,      u"next"_s,       u"left"_s,
        u"right"_s,     u"little"_s,    u"people"_s,    u"world"_s,      u"house"_s,
        u"place"_s,     u"water"_s,     u"again"_s,     u"away"_s,       u"today"_s,
        u"tomorrow"_s,  u"yesterday"_s, u"morning"_s,   u"night"_s,      u"week"_s,
        u"month"_s,     u"year"_s,      u"hour"_s,      u"minute"_s,     u"second"_s,
        u"email"_s,     u"message"_s,   u"please"_s,    u"thanks"_s,     u"thank"_s,
        u"hello"_s,     u"hey"_s,       u"sure"_s,      u"fine"_s,       u"cool"_s,
        u"nice"_s,      u"perfect"_s,   u"working"_s,
    };
    return kWords;
}

bool isAscii(QStringView text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

char32_t firstCodePoint(QStringView text) {
    if (text.isEmpty()) {
        return 0;
    }
    if (text.size() > 1 && text[0].isHighSurrogate() && text[1].isLowSurrogate()) {
        return QChar::surrogateToUcs4(text[0], text[1]);
    }
    return text[0].unicode();
}

qsizetype characterCount(QStringView text) {
    return isAscii(text) ? text.size() : unicode::graphemeCount(text);
}

QString lowerCased(QStringView text) {
    return isAscii(text) ? text.toString().toLower() : unicode::toLower(text);
}

bool containsLetter(QStringView text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        if (unicode::isLetter(c)) {
            return true;
        }
    }
    return false;
}

// Ascending Unicode scalar order: UTF-16 order, except that surrogates (code points above
// U+FFFF) must sort after U+E000...U+FFFF.
bool lessByCodePoint(const QString& a, const QString& b) {
    const qsizetype common = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < common; ++i) {
        char16_t x = a[i].unicode();
        char16_t y = b[i].unicode();
        if (x == y) {
            continue;
        }
        const auto rank = [](char16_t c) -> int {
            if (c >= 0xD800) {
                return c >= 0xE000 ? c - 0x800 : c + 0x2000;
            }
            return c;
        };
        return rank(x) < rank(y);
    }
    return a.size() < b.size();
}

bool qualifies(const Learner::Term& term) {
    return term.count >= Learner::minCount || term.properNoun;
}

std::optional<qint64> integerValue(const QJsonValue& value) {
    if (!value.isDouble()) {
        return std::nullopt;
    }
    const qint64 low = value.toInteger(std::numeric_limits<qint64>::min());
    const qint64 high = value.toInteger(std::numeric_limits<qint64>::max());
    if (low != high) {
        return std::nullopt;
    }
    return low;
}

} // namespace

struct Learner::Private {
    QString path;
    // Set when a damaged file could not be moved aside: it is never overwritten.
    bool keepFileAsItIs = false;

    mutable std::mutex mutex;
    std::condition_variable wake;
    Model model;
    bool saveScheduled = false;
    std::chrono::steady_clock::time_point saveAt;
    bool stopping = false;
    std::thread saver;

    void scheduleSave() {
        if (saveScheduled) {
            return;
        }
        saveScheduled = true;
        saveAt = std::chrono::steady_clock::now() + kSaveDelay;
        wake.notify_one();
    }

    // The "quovant.learner" thread: waits out the delay, snapshots the model and writes it. On
    // shutdown a pending save is written at once instead of being dropped.
    void run() {
        ::pthread_setname_np(::pthread_self(), "quovant.learner");
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stopping || saveScheduled; });
            if (saveScheduled && !stopping) {
                wake.wait_until(lock, saveAt, [this] { return stopping; });
            }
            if (saveScheduled) {
                const Model snapshot = model;
                saveScheduled = false;
                lock.unlock();
                write(snapshot);
                lock.lock();
                continue;
            }
            if (stopping) {
                return;
            }
        }
    }

    void write(const Model& snapshot) const {
        if (keepFileAsItIs) {
            return;
        }
        if (DataFile::writeAtomically(path, encode(snapshot))) {
            Paths::protectFile(path);
        }
    }
};

Learner::Learner() : Learner(Paths::root()) {}

Learner::Learner(const QString& directory) : d(std::make_unique<Private>()) {
    d->path = QDir::cleanPath(directory) + u'/' + kFileName;
    const DataFile::Read read = DataFile::readRegular(d->path, kMaximumFileBytes);
    std::optional<Model> loaded;
    if (read.status == DataFile::Read::Status::Read) {
        loaded = parse(read.bytes);
    }
    if (loaded) {
        d->model = std::move(*loaded);
    } else if (read.status != DataFile::Read::Status::Missing) {
        // The next save would replace the damaged file and lose the words it still holds.
        if (DataFile::setAside(d->path, kInvalidFileName)) {
            Log::warn(u"Learned vocabulary was invalid; it was preserved as %1 and learning "
                      u"starts afresh."_s.arg(kInvalidFileName));
        } else {
            d->keepFileAsItIs = true;
            Log::error(u"Learned vocabulary was invalid and could not be preserved; learning "
                       u"continues in memory only."_s);
        }
    }
    DataFile::removeStaleTemporaries(QDir::cleanPath(directory));
    d->saver = std::thread([this] { d->run(); });
}

Learner::~Learner() {
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->wake.notify_one();
    d->saver.join();
}

QList<Learner::Token> Learner::tokenize(QStringView text) {
    // A word is always a run of adjacent characters, so it is kept as a span of `text` and
    // copied once, when it is emitted.
    QList<Token> tokens;
    qsizetype wordStart = 0;
    qsizetype wordEnd = 0;
    const auto emitWord = [&](bool endsSentence) {
        QStringView word = text.sliced(wordStart, wordEnd - wordStart);
        wordStart = wordEnd = 0;
        const auto isQuote = [](QChar c) { return c == u'\'' || c == u'"'; };
        while (!word.isEmpty() && isQuote(word.front())) {
            word = word.sliced(1);
        }
        while (!word.isEmpty() && isQuote(word.back())) {
            word.chop(1);
        }
        // Trailing punctuation goes last, after the quotes, and leaves the flag as it was.
        while (!word.isEmpty() && (word.back() == u'.' || word.back() == u'-' ||
                                   word.back() == u'/' || word.back() == u'_')) {
            word.chop(1);
        }
        if (!word.isEmpty()) {
            tokens.append({word.toString(), endsSentence});
        }
    };

    const bool ascii = isAscii(text);
    const QList<qsizetype> ends = ascii ? QList<qsizetype>() : unicode::graphemeEnds(text);
    const qsizetype count = ascii ? text.size() : ends.size();
    qsizetype start = 0;
    for (qsizetype k = 0; k < count; ++k) {
        const qsizetype end = ascii ? k + 1 : ends[k];
        const QStringView character = text.sliced(start, end - start);
        const QChar single = character.size() == 1 ? character[0] : QChar();
        bool inWord = single == u'\'' || single == u'-' || single == u'_' || single == u'/';
        if (!inWord) {
            if (ascii) {
                const char16_t c = single.unicode();
                inWord = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                         (c >= u'0' && c <= u'9');
            } else {
                const char32_t first = firstCodePoint(character);
                inWord = unicode::isLetter(first) || unicode::isNumber(first);
            }
        }
        // A full stop inside a word keeps file names and version numbers whole.
        if (!inWord && single == u'.' && wordEnd > wordStart) {
            inWord = true;
        }
        if (inWord) {
            if (wordEnd == wordStart) {
                wordStart = start;
            }
            wordEnd = end;
        } else {
            emitWord(single == u'.' || single == u'!' || single == u'?');
        }
        start = end;
    }
    emitWord(false);
    return tokens;
}

bool Learner::isCommonWord(const QString& lowerCased) {
    return commonWords().contains(lowerCased);
}

void Learner::ingest(const QString& shipped) {
    const QList<Token> tokens = tokenize(shipped);
    if (tokens.isEmpty()) {
        return;
    }
    std::lock_guard lock(d->mutex);
    d->model.utterances += 1;
    bool sentenceStart = true;
    for (const Token& token : tokens) {
        const bool atStart = sentenceStart;
        sentenceStart = token.endsSentence;
        if (characterCount(token.word) < 3 || !containsLetter(token.word)) {
            continue;
        }
        const QString key = lowerCased(token.word);
        if (isCommonWord(key)) {
            continue;
        }
        const bool properNoun = !atStart && unicode::isUppercase(firstCodePoint(token.word));
        const auto found = d->model.terms.find(key);
        if (found == d->model.terms.end()) {
            d->model.terms.insert(key, Term{token.word, 1, properNoun});
            continue;
        }
        found->count += 1;
        if (properNoun) {
            found->properNoun = true;
            found->surface = token.word;
        }
    }
    d->scheduleSave();
}

QStringList Learner::learnedTerms(std::optional<qsizetype> limit) const {
    std::lock_guard lock(d->mutex);
    QList<const Term*> qualifying;
    for (const Term& term : d->model.terms) {
        if (qualifies(term)) {
            qualifying.append(&term);
        }
    }
    const qsizetype take = std::clamp<qsizetype>(
        std::min(limit.value_or(maxLearnedTerms), maxLearnedTerms), 0, qualifying.size());
    const auto better = [](const Term* a, const Term* b) {
        if (a->count != b->count) {
            return a->count > b->count;
        }
        return lessByCodePoint(a->surface, b->surface);
    };
    std::partial_sort(qualifying.begin(), qualifying.begin() + take, qualifying.end(), better);
    QStringList surfaces;
    surfaces.reserve(take);
    for (qsizetype i = 0; i < take; ++i) {
        surfaces.append(qualifying[i]->surface);
    }
    return surfaces;
}

qsizetype Learner::learnedCount() const {
    std::lock_guard lock(d->mutex);
    return std::count_if(d->model.terms.cbegin(), d->model.terms.cend(), qualifies);
}

void Learner::clear() {
    {
        std::lock_guard lock(d->mutex);
        d->model = Model{};
        d->scheduleSave();
    }
    Log::info(u"Learned vocabulary cleared by the user."_s);
}

Learner::Model Learner::model() const {
    std::lock_guard lock(d->mutex);
    return d->model;
}

QByteArray Learner::encode(const Model& model) {
    // Written directly rather than through QJsonObject, which keeps its members sorted in one
    // array and moves them on every insertion: saving 200,000 terms took seconds.
    QList<QHash<QString, Term>::const_iterator> order;
    order.reserve(model.terms.size());
    for (auto it = model.terms.cbegin(); it != model.terms.cend(); ++it) {
        order.append(it);
    }
    std::sort(order.begin(), order.end(),
              [](const auto& a, const auto& b) { return a.key() < b.key(); });
    QByteArray out;
    out.reserve(64 + model.terms.size() * 64);
    out.append("{\"terms\":{");
    for (const auto& it : order) {
        if (out.back() != '{') {
            out.append(',');
        }
        appendJsonString(out, it.key());
        out.append(":{\"count\":");
        out.append(QByteArray::number(it->count));
        out.append(it->properNoun ? ",\"properNoun\":true,\"surface\":"
                                  : ",\"properNoun\":false,\"surface\":");
        appendJsonString(out, it->surface);
        out.append('}');
    }
    out.append("},\"utterances\":");
    out.append(QByteArray::number(model.utterances));
    out.append('}');
    return out;
}

std::optional<Learner::Model> Learner::parse(QByteArrayView json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    const QJsonValue terms = root.value("terms"_L1);
    const auto utterances = integerValue(root.value("utterances"_L1));
    if (!terms.isObject() || !utterances) {
        return std::nullopt;
    }
    Model model;
    model.utterances = *utterances;
    const QJsonObject members = terms.toObject();
    for (auto it = members.begin(); it != members.end(); ++it) {
        if (!it->isObject()) {
            return std::nullopt;
        }
        const QJsonObject term = it->toObject();
        const QJsonValue surface = term.value("surface"_L1);
        const auto count = integerValue(term.value("count"_L1));
        const QJsonValue properNoun = term.value("properNoun"_L1);
        if (!surface.isString() || !count || !properNoun.isBool()) {
            return std::nullopt;
        }
        model.terms.insert(it.key(), Term{surface.toString(), *count, properNoun.toBool()});
    }
    return model;
}

} // namespace quovant
