#include "formatting/developer_prompt_document.h"

#include "core/unicode_text.h"

#include <QStringList>

#include <array>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

constexpr qsizetype kSectionCount = 5;

const std::array<QString, kSectionCount>& headings() {
    static const std::array<QString, kSectionCount> kHeadings{
        u"Goal:"_s, u"Context:"_s, u"Constraints:"_s, u"Acceptance criteria:"_s,
        u"Verification:"_s};
    return kHeadings;
}

QStringView trimmedSpacesAndTabs(QStringView line) {
    qsizetype begin = 0;
    qsizetype end = line.size();
    while (begin < end && (line[begin] == u' ' || line[begin] == u'\t')) {
        ++begin;
    }
    while (end > begin && (line[end - 1] == u' ' || line[end - 1] == u'\t')) {
        --end;
    }
    return line.sliced(begin, end - begin);
}

} // namespace

std::optional<DeveloperPromptDocument> DeveloperPromptDocument::parse(const QString& text) {
    QString normalized = text;
    normalized.replace(u"\r\n"_s, u"\n"_s);
    normalized.replace(u'\r', u'\n');
    normalized = unicode::trimmedWhitespace(normalized);
    const QList<QStringView> lines = QStringView(normalized).split(u'\n');

    // One pass over the lines; a heading seen twice fails at once, so a model that repeats a
    // heading thousands of times costs no more than one that does not.
    std::array<qsizetype, kSectionCount> at{-1, -1, -1, -1, -1};
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringView line = trimmedSpacesAndTabs(lines[i]);
        for (qsizetype h = 0; h < kSectionCount; ++h) {
            if (line == headings()[h]) {
                if (at[h] >= 0) {
                    return std::nullopt;
                }
                at[h] = i;
                break;
            }
        }
    }
    if (at[0] != 0) {
        return std::nullopt;
    }
    for (qsizetype h = 1; h < kSectionCount; ++h) {
        if (at[h] <= at[h - 1]) {
            return std::nullopt;
        }
    }

    std::array<QString, kSectionCount> sections;
    for (qsizetype h = 0; h < kSectionCount; ++h) {
        const qsizetype first = at[h] + 1;
        const qsizetype end = h + 1 < kSectionCount ? at[h + 1] : lines.size();
        QStringList body;
        body.reserve(end - first);
        for (qsizetype i = first; i < end; ++i) {
            body.append(lines[i].toString());
        }
        sections[h] = unicode::trimmedWhitespace(body.join(u'\n'));
    }
    if (sections[0].isEmpty()) {
        return std::nullopt;
    }
    return DeveloperPromptDocument{sections[0], sections[1], sections[2], sections[3], sections[4]};
}

DeveloperPromptDocument DeveloperPromptDocument::fallback(const QString& transcript) {
    return DeveloperPromptDocument{transcript, {}, {}, {}, {}};
}

QString DeveloperPromptDocument::rendered() const {
    return u"Goal:\n"_s + goal + u"\n\nContext:\n"_s + context + u"\n\nConstraints:\n"_s +
           constraints + u"\n\nAcceptance criteria:\n"_s + acceptanceCriteria +
           u"\n\nVerification:\n"_s + verification;
}

QString DeveloperPromptDocument::content() const {
    QStringList parts;
    for (const QString* field :
         {&goal, &context, &constraints, &acceptanceCriteria, &verification}) {
        if (!field->isEmpty()) {
            parts.append(*field);
        }
    }
    return parts.join(u'\n');
}

} // namespace quovant
