#include "formatting/builtin_formatter.h"

#include "core/quovant_error.h"
#include "core/unicode_text.h"
#include "formatting/developer_prompt_document.h"
#include "formatting/dictation_cleanup.h"
#include "formatting/formatter_prompt.h"
#include "formatting/formatting_context.h"
#include "formatting/rewrite_command.h"
#include "settings/log.h"

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

enum class Section { goal, context, constraints, acceptanceCriteria, verification };

// Where a sentence of a spoken request belongs, judged by its wording alone.
Section sectionFor(const QString& sentence) {
    static const unicode::Regex stateOpener(
        u"^\\W*(?:currently|right now|at the moment|at present|today|so far)\\b"_s, true);
    static const unicode::Regex constraint(
        u"\\b(?:don't|dont|do not|never|must not|mustn't|should not|shouldn't|cannot|can't|"
        u"without|keep|keeps|preserve|avoid|no more than|at most)\\b"_s,
        true);
    static const unicode::Regex verification(
        u"\\b(?:test|tests|tested|testing|run|verify|verified|check|confirm|lint)\\b"_s, true);
    static const unicode::Regex acceptance(
        u"\\b(?:should|must|needs to|has to)\\b.*\\b(?:when|whenever|so that|if|once|after|"
        u"until)\\b"_s,
        true);
    static const unicode::Regex state(
        u"\\b(?:currently|right now|at the moment|already|is broken|are broken|fails|failing|"
        u"crashes|crashing|doesn't|does not|isn't|there is|there's|there are|we use|we have|"
        u"it uses)\\b"_s,
        true);
    if (stateOpener.contains(sentence)) {
        return Section::context;
    }
    if (constraint.contains(sentence)) {
        return Section::constraints;
    }
    if (verification.contains(sentence)) {
        return Section::verification;
    }
    if (acceptance.contains(sentence)) {
        return Section::acceptanceCriteria;
    }
    if (state.contains(sentence)) {
        return Section::context;
    }
    return Section::goal;
}

} // namespace

QString BuiltinFormatter::name() const {
    return u"Built-in formatter"_s;
}

QCoro::Task<void> BuiltinFormatter::prepare() {
    Log::info(u"Formatter ready · "_s + name());
    co_return;
}

QString BuiltinFormatter::formatText(const QString& transcript, const QStringList& vocabulary,
                                     const SpeechPauses& pauses) {
    return FormatterPrompt::sanitize(
        DictationCleanup::clean(transcript, vocabulary, {.pauses = pauses}));
}

QString BuiltinFormatter::rewriteText(const QString& text, RewriteCommand command,
                                      const QStringList& vocabulary) {
    const DictationCleanup::Options keepWords{.editWords = false, .capitalizeSentences = true};
    switch (command) {
    case RewriteCommand::fixGrammar:
        return FormatterPrompt::sanitize(DictationCleanup::clean(text, vocabulary, keepWords));
    case RewriteCommand::bulletList: {
        QStringList bullets;
        const QString cleaned = DictationCleanup::clean(text, vocabulary, keepWords);
        for (const QString& sentence : DictationCleanup::sentences(cleaned)) {
            static const unicode::Regex existingBullet(u"^(?:[-*•]|\\d+[.)])\\s+"_s);
            bullets.append(u"- "_s + existingBullet.replaceAll(sentence, QString()));
        }
        return FormatterPrompt::sanitize(bullets.join(u'\n'));
    }
    default:
        throw QuovantError::formatterUnavailable(
            u"the built-in formatter can only fix grammar and make bullet lists; choose Ollama "
            u"as the formatter for \u201C"_s +
            RewriteCommands::title(command) + u"\u201D"_s);
    }
}

QString BuiltinFormatter::compileText(const QString& transcript, const QStringList& vocabulary,
                                      const SpeechPauses& pauses) {
    // Sentence starts keep their case: a capital the speaker did not give would read as a new
    // exact fact to the prompt guard.
    const DictationCleanup::Options options{
        .editWords = true, .capitalizeSentences = false, .pauses = pauses};
    const QStringList sentences =
        DictationCleanup::sentences(DictationCleanup::clean(transcript, vocabulary, options));
    if (sentences.isEmpty()) {
        return FormatterPrompt::sanitize(DeveloperPromptDocument::fallback(transcript).rendered());
    }
    QList<Section> sections;
    bool hasGoal = false;
    for (const QString& sentence : sentences) {
        sections.append(sectionFor(sentence));
        hasGoal = hasGoal || sections.back() == Section::goal;
    }
    if (!hasGoal) {
        sections[0] = Section::goal; // every request has a goal; the first sentence states it
    }
    QStringList parts[5];
    for (qsizetype i = 0; i < sentences.size(); ++i) {
        parts[static_cast<int>(sections.at(i))].append(sentences.at(i));
    }
    DeveloperPromptDocument document;
    document.goal = parts[0].join(u' ');
    document.context = parts[1].join(u' ');
    document.constraints = parts[2].join(u' ');
    document.acceptanceCriteria = parts[3].join(u' ');
    document.verification = parts[4].join(u' ');
    return FormatterPrompt::sanitize(document.rendered());
}

QCoro::Task<QString> BuiltinFormatter::format(QString transcript, FormattingContext context) {
    co_return formatText(transcript, context.vocabulary, context.pauses);
}

QCoro::Task<QString> BuiltinFormatter::rewrite(QString text, RewriteCommand command,
                                               FormattingContext context) {
    co_return rewriteText(text, command, context.vocabulary);
}

QCoro::Task<QString> BuiltinFormatter::compileDeveloperPrompt(QString transcript,
                                                              FormattingContext context) {
    co_return compileText(transcript, context.vocabulary, context.pauses);
}

} // namespace quovant
