#include "formatting/developer_prompt_guard.h"

#include "core/unicode_text.h"
#include "formatting/developer_prompt_anchors.h"
#include "formatting/developer_prompt_document.h"
#include "formatting/rewrite_guard.h"
#include "formatting/transcript_guard.h"
#include "repository/repository_context.h"

#include <QSet>

#include <algorithm>
#include <array>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

constexpr double kMaxLengthRatio = 3.5;
constexpr double kMinCoverage = 0.65;
constexpr double kMaxNovelShare = 0.35;

const std::array<QString, 8>& modelResponseMarkers() {
    static const std::array<QString, 8> kMarkers{
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
    if (looksLikeModelResponse(unicode::toLower(content))) {
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
    if (repository) {
        const QSet<QString> repositoryAnchors =
            DeveloperPromptAnchors::extract(promptContext, repository->vocabulary);
        for (const QString& anchor : documentAnchors) {
            if (!rawAnchors.contains(anchor) && !repositoryAnchors.contains(anchor)) {
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

    const QStringList rawContent = RewriteGuard::contentWords(rawWords);
    const QStringList repositoryContent = RewriteGuard::contentWords(repositoryWords);
    const QStringList documentContent = RewriteGuard::contentWords(documentWords);
    const QSet<QString> rawSet(rawContent.begin(), rawContent.end());
    if (!rawSet.isEmpty()) {
        const QSet<QString> documentSet(documentContent.begin(), documentContent.end());
        const auto covered = std::count_if(rawSet.begin(), rawSet.end(), [&](const QString& w) {
            return documentSet.contains(w);
        });
        if (static_cast<double>(covered) / static_cast<double>(rawSet.size()) < kMinCoverage) {
            return reject(Verdict::rejectedContentLoss);
        }
    }
    if (!documentContent.isEmpty()) {
        const QSet<QString> repositorySet(repositoryContent.begin(), repositoryContent.end());
        const auto novel =
            std::count_if(documentContent.begin(), documentContent.end(), [&](const QString& w) {
                return !rawSet.contains(w) && !repositorySet.contains(w);
            });
        if (static_cast<double>(novel) / static_cast<double>(documentContent.size()) >
            kMaxNovelShare) {
            return reject(Verdict::rejectedMeaningChange);
        }
    }
    return Decision{document->rendered(), Verdict::accepted};
}

} // namespace quovant
