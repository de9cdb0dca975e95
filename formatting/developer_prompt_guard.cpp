#include "formatting/developer_prompt_guard.h"

#include "core/unicode_text.h"
#include "formatting/developer_prompt_anchors.h"
#include "formatting/developer_prompt_document.h"
#include "formatting/guard_text.h"
#include "formatting/spoken_numbers.h"
#include "formatting/rewrite_guard.h"
#include "formatting/transcript_guard.h"
#include "repository/repository_context.h"

#include <QSet>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

constexpr double kMaxLengthRatio = 3.5;
constexpr double kMinCoverage = 0.65;
constexpr double kMaxNovelShare = 0.35;

const QStringList& modelResponseMarkers() {
    static const QStringList kMarkers{
        u"here is the"_s, u"here's the"_s, u"not provided"_s, u"none specified"_s,
        u"as an ai"_s,    u"i cannot"_s,   u"i can't"_s,      u"i'm sorry"_s};
    return kMarkers;
}

bool startsWithMarker(QStringView text) {
    for (const QString& marker : modelResponseMarkers()) {
        if (unicode::startsWithGraphemes(text, marker)) {
            return true;
        }
    }
    return false;
}

// An anchor of the answer that the request or the repository facts hold in another form:
// a number spoken as words, a word spoken in lower case.
bool heldInSomeForm(const guard_text::SourceFacts& facts, const QString& anchor) {
    const QList<TextToken> tokens = SpokenNumbers::tokens(anchor);
    if (tokens.isEmpty()) {
        return false;
    }
    const QList<NumberRun> runs = SpokenNumbers::runs(tokens);
    for (const NumberRun& run : runs) {
        const bool known = std::any_of(run.wholeReadings.cbegin(), run.wholeReadings.cend(),
                                       [&](const QString& r) { return facts.numberForms().contains(r); });
        if (!known) {
            return false;
        }
    }
    return std::all_of(tokens.cbegin(), tokens.cend(), [&](const TextToken& token) {
        return token.number ? facts.numberForms().contains(token.text)
                            : facts.knowsWord(token.text, token.original);
    });
}

// A chat-style reply or a placeholder, at the start of the text or of any line.
bool looksLikeModelResponse(const QString& lowered) {
    if (startsWithMarker(lowered)) {
        return true;
    }
    for (qsizetype at = lowered.indexOf(u'\n'); at >= 0; at = lowered.indexOf(u'\n', at + 1)) {
        if (startsWithMarker(QStringView(lowered).sliced(at + 1))) {
            return true;
        }
    }
    return false;
}

bool isSubset(const QSet<QString>& part, const QSet<QString>& whole) {
    return std::all_of(part.begin(), part.end(),
                       [&](const QString& anchor) { return whole.contains(anchor); });
}

} // namespace

QString DeveloperPromptGuard::rawValue(Verdict verdict) {
    switch (verdict) {
    case Verdict::accepted:
        return u"accepted"_s;
    case Verdict::formatterDisabled:
        return u"formatterDisabled"_s;
    case Verdict::formatterFailed:
        return u"formatterFailed"_s;
    case Verdict::rejectedInvalidStructure:
        return u"rejectedInvalidStructure"_s;
    case Verdict::rejectedModelResponse:
        return u"rejectedModelResponse"_s;
    case Verdict::rejectedTooLong:
        return u"rejectedTooLong"_s;
    case Verdict::rejectedContentLoss:
        return u"rejectedContentLoss"_s;
    case Verdict::rejectedProtectedContent:
        return u"rejectedProtectedContent"_s;
    case Verdict::rejectedMeaningChange:
        return u"rejectedMeaningChange"_s;
    }
    return u"rejectedInvalidStructure"_s;
}

DeveloperPromptGuard::Decision
DeveloperPromptGuard::evaluate(const QString& raw, const QString& proposed,
                               const QStringList& vocabulary,
                               const std::optional<RepositoryContext>& repository) {
    const auto reject = [&](Verdict verdict) {
        return Decision{DeveloperPromptDocument::fallback(raw).rendered(), verdict};
    };

    const std::optional<DeveloperPromptDocument> document =
        DeveloperPromptDocument::parse(proposed);
    if (!document) {
        return reject(Verdict::rejectedInvalidStructure);
    }
    const QString content = document->content();
    if (looksLikeModelResponse(guard_text::markerForm(content))) {
        return reject(Verdict::rejectedModelResponse);
    }

    const QString promptContext = repository ? repository->promptContext() : QString();
    const QStringList rawWords = TranscriptGuard::words(raw);
    const QStringList repositoryWords =
        repository ? TranscriptGuard::words(promptContext) : QStringList();
    const QStringList documentWords = TranscriptGuard::words(content);
    if (rawWords.isEmpty() || documentWords.isEmpty()) {
        return reject(Verdict::rejectedContentLoss);
    }
    const double lengthRatio =
        static_cast<double>(documentWords.size()) /
        static_cast<double>(std::max<qsizetype>(1, rawWords.size() + repositoryWords.size()));
    if (lengthRatio > kMaxLengthRatio) {
        return reject(Verdict::rejectedTooLong);
    }

    const QSet<QString> rawAnchors = DeveloperPromptAnchors::extract(raw, vocabulary);
    const QSet<QString> documentAnchors = DeveloperPromptAnchors::extract(content, vocabulary);
    if (!isSubset(rawAnchors, documentAnchors)) {
        return reject(Verdict::rejectedProtectedContent);
    }
    // What the request and the repository facts hold, spoken or written, so that an invented
    // fact is told from one written differently.
    const QString source = repository ? raw + u'\n' + promptContext : raw;
    const QList<TextToken> sourceTokens = SpokenNumbers::tokens(source);
    QStringList knownTerms = vocabulary;
    if (repository) {
        knownTerms += repository->vocabulary;
    }
    const guard_text::SourceFacts facts(sourceTokens, knownTerms);
    if (repository) {
        const QSet<QString> repositoryAnchors =
            DeveloperPromptAnchors::extract(promptContext, repository->vocabulary);
        for (const QString& anchor : documentAnchors) {
            if (!rawAnchors.contains(anchor) && !repositoryAnchors.contains(anchor) &&
                !heldInSomeForm(facts, anchor)) {
                return reject(Verdict::rejectedProtectedContent);
            }
        }
        const QString outsideContext =
            QStringList{document->goal, document->constraints, document->acceptanceCriteria,
                        document->verification}
                .join(u'\n');
        const QSet<QString> outsideAnchors =
            DeveloperPromptAnchors::extract(outsideContext, repository->vocabulary);
        for (const QString& anchor : repositoryAnchors) {
            if (!rawAnchors.contains(anchor) && outsideAnchors.contains(anchor)) {
                return reject(Verdict::rejectedProtectedContent);
            }
        }
    }

    // With or without a repository: no fact the request and the repository do not hold, no
    // number counting another thing, no text that acts when typed.
    const QList<TextToken> contentTokens = SpokenNumbers::tokens(content);
    const QList<NumberRun> statedNumbers = guard_text::withoutListNumbers(
        content, contentTokens, SpokenNumbers::runs(contentTokens));
    if (!guard_text::inventedFact(facts, content, contentTokens, statedNumbers,
                                  guard_text::Initials::mayBeWords)
             .isEmpty() ||
        guard_text::numbersMoved(facts.runs(), statedNumbers, false) ||
        guard_text::addsDangerousText(source, sourceTokens, content,
                                      guard_text::LineBreaks{guard_text::LineBreaks::kAny},
                                      true)) {
        return reject(Verdict::rejectedProtectedContent);
    }

    const QStringList rawContent = RewriteGuard::contentWords(rawWords);
    const QStringList repositoryContent = RewriteGuard::contentWords(repositoryWords);
    const QStringList documentContent = RewriteGuard::contentWords(documentWords);
    const QSet<QString> rawSet(rawContent.begin(), rawContent.end());
    if (!rawSet.isEmpty()) {
        const QSet<QString> documentSet(documentContent.begin(), documentContent.end());
        // Spoken numbers the document writes as digits are covered.
        const QList<TextToken> requestTokens = SpokenNumbers::tokens(raw);
        const QSet<QString> numbersWritten = guard_text::numberWordsWritten(
            requestTokens, SpokenNumbers::runs(requestTokens), statedNumbers);
        const auto covered = std::count_if(rawSet.begin(), rawSet.end(), [&](const QString& w) {
            return documentSet.contains(w) || numbersWritten.contains(w);
        });
        if (static_cast<double>(covered) / static_cast<double>(rawSet.size()) < kMinCoverage) {
            return reject(Verdict::rejectedContentLoss);
        }
    }
    if (!documentContent.isEmpty()) {
        const QSet<QString> repositorySet(repositoryContent.begin(), repositoryContent.end());
        const auto novel =
            std::count_if(documentContent.begin(), documentContent.end(), [&](const QString& w) {
                // Numbers were judged as facts above.
                return !rawSet.contains(w) && !repositorySet.contains(w) &&
                       !w.front().isDigit();
            });
        if (static_cast<double>(novel) / static_cast<double>(documentContent.size()) >
            kMaxNovelShare) {
            return reject(Verdict::rejectedMeaningChange);
        }
    }
    // A prohibition the request made may not be lost ("don't change the public API"), nor one
    // added that turns a request around; restating one in several sections is fine.
    const QList<TextToken> rawTokens = SpokenNumbers::tokens(raw);
    if (guard_text::negationCount(contentTokens) < guard_text::negationCount(rawTokens) ||
        !guard_text::negatesOnlyWhatSourceNegated(rawTokens, contentTokens)) {
        return reject(Verdict::rejectedMeaningChange);
    }
    return Decision{document->rendered(), Verdict::accepted};
}

} // namespace quovant
