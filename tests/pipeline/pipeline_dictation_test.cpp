#include "pipeline_test_fixture.h"

#include "formatting/builtin_formatter.h"
#include "formatting/developer_prompt_document.h"
#include "formatting/transcript_guard.h"
#include "settings/learner.h"

#include <QRegularExpression>

using namespace quovant;
using namespace quovant::testing;
using Kind = PipelineState::Kind;

namespace {

using Note = std::pair<QString, QString>;

class Dictation : public PipelineTest {};

TEST_F(Dictation, PressHoldReleaseTypesGuardedTextAndKeepsHistoryAndTerms) {
    config.learnVocabulary = true;
    asr->transcript = QStringLiteral("  ship the Quovant build to Marisol today \n");
    formatter->formatAnswer = QStringLiteral("Ship the Quovant build to Marisol today.");
    LogTail log;
    make();
    ASSERT_TRUE(press());
    EXPECT_EQ(pipeline->state().kind, Kind::recording);
    EXPECT_GT(asr->chunks.load(), 0);
    holdAndRelease(1200);

    ASSERT_EQ(injector->deliveries.size(), 1u);
    EXPECT_EQ(injector->deliveries[0].text, u"Ship the Quovant build to Marisol today."_qs);
    EXPECT_EQ(pipeline->state().kind, Kind::idle);
    EXPECT_EQ(states, (std::vector{PipelineState::recording(), PipelineState::thinking(),
                                   PipelineState::idle()}));
    EXPECT_TRUE(clipboard->text().isEmpty());
    EXPECT_TRUE(notifier->notes.empty());
    EXPECT_TRUE(log.contains(u"[INFO] Recording started."_qs));
    EXPECT_EQ(asr->begun.size(), 1u);
    EXPECT_EQ(formatter->lastContext->appName, u"Editor"_qs);

    const auto lines = history();
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(lines[0].id, stored[0].id);
    EXPECT_EQ(lines[0].rawTranscript, u"ship the Quovant build to Marisol today"_qs);
    EXPECT_EQ(lines[0].shippedText, injector->deliveries[0].text);
    EXPECT_EQ(lines[0].guardVerdict, u"accepted"_qs);
    EXPECT_EQ(lines[0].appBundleID, u"org.example.editor"_qs);
    EXPECT_EQ(lines[0].engine, u"Fake recogniser"_qs);
    EXPECT_EQ(lines[0].formatter, u"Fake formatter"_qs);
    EXPECT_EQ(pipeline->latency().samples().size(), 1u);
    EXPECT_EQ(pipeline->learner().model().utterances, 1);
    EXPECT_TRUE(pipeline->learner().model().terms.contains(u"marisol"_qs));
}

TEST_F(Dictation, HistoryOffStoresNothingAndLearningOffLearnsNothing) {
    config.retainHistory = false;
    config.learnVocabulary = false;
    make();
    press();
    holdAndRelease(800);
    EXPECT_EQ(injector->deliveries.size(), 1u);
    EXPECT_TRUE(history().empty());
    EXPECT_TRUE(stored.empty());
    EXPECT_EQ(pipeline->learner().model().utterances, 0);
}

struct FormattingCase {
    const char* name;
    FormatterKind kind;
    bool available;
    const char* transcript;
    std::optional<QuovantError> failure;
    const char* answer;
    const char* shipped;
    const char* verdict;
    const char* logLine;
};

TEST_F(Dictation, FormattingDecisionTable) {
    const FormattingCase cases[] = {
        {"pass-through",
         FormatterKind::none,
         true,
         "hello there friend",
         {},
         "",
         "Hello there friend.",
         "formatterDisabled",
         nullptr},
        {"unavailable",
         FormatterKind::appleFoundation,
         false,
         "hello there friend",
         {},
         "",
         "Hello there friend.",
         "formatterDisabled",
         nullptr},
        {"too short",
         FormatterKind::appleFoundation,
         true,
         "hello",
         {},
         "",
         "Hello.",
         "skippedTooShort",
         nullptr},
        {"fails", FormatterKind::appleFoundation, true, "hello there friend",
         QuovantError::formatterUnavailable(u"model gone"_qs), "", "Hello there friend.",
         "formatterFailed", "[WARN] Formatter failed: "},
        {"refuses",
         FormatterKind::appleFoundation,
         true,
         "hello there friend",
         {},
         "I'm sorry, but I can't help with that request at all.",
         "Hello there friend.",
         "rejectedRefusal",
         "[WARN] Guard overruled the formatter (rejectedRefusal)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        config.formatter = c.kind;
        formatter->available = c.available;
        formatter->failure = c.failure;
        formatter->formatAnswer = QString::fromUtf8(c.answer);
        asr->transcript = QString::fromUtf8(c.transcript);
        LogTail log;
        make();
        press();
        holdAndRelease(700);
        ASSERT_EQ(injector->deliveries.size(), 1u);
        EXPECT_EQ(injector->deliveries[0].text, QString::fromUtf8(c.shipped));
        EXPECT_EQ(pipeline->state().kind, Kind::idle);
        const auto lines = history();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].guardVerdict, QString::fromUtf8(c.verdict));
        if (c.logLine) {
            EXPECT_TRUE(log.containsLineStartingWith(QString::fromUtf8(c.logLine)));
        }
    }
}

TEST_F(Dictation, BudgetGrowsWithLongTranscriptsUpToTheCeiling) {
    struct Case {
        int timeoutMS;
        int words;
        qint64 budget;
    };
    // 2500 → ceiling 15000; 100 → ceiling max(600, 100) = 600.
    for (const Case c :
         {Case{2500, 20, 2500}, Case{2500, 30, 3000}, Case{100, 40, 600}, Case{100, 21, 150}}) {
        SCOPED_TRACE(c.words);
        fresh();
        config.formatterTimeoutMS = c.timeoutMS;
        formatter->gate = &formatterGate;
        formatter->abandons = 0;
        QStringList words;
        for (int i = 0; i < c.words; ++i) {
            words.append(u"word"_qs + QString::number(i));
        }
        asr->transcript = words.join(u' ');
        LogTail log;
        make();
        press();
        holdAndRelease(500);
        clock->advance(c.budget - 1);
        EXPECT_TRUE(injector->deliveries.empty());
        EXPECT_EQ(formatter->abandons, 0);
        clock->advance(1);
        settleFlow();
        EXPECT_EQ(injector->deliveries.size(), 1u);
        EXPECT_EQ(formatter->abandons, 1) << "the spent budget must close the formatter's request";
        EXPECT_EQ(injector->deliveries[0].text, TranscriptGuard::lightlyPunctuate(asr->transcript));
        ASSERT_EQ(history().size(), 1u);
        EXPECT_EQ(history()[0].guardVerdict, u"formatterFailed"_qs);
        EXPECT_TRUE(log.contains(u"[WARN] Formatter exceeded its "_qs + QString::number(c.budget) +
                                 u" ms budget."_qs));
    }
}

TEST_F(Dictation, TapShorterThanAQuarterSecondIsIgnored) {
    LogTail log;
    make();
    press();
    holdAndRelease(249);
    EXPECT_TRUE(log.contains(u"[INFO] Ignored 249 ms key tap."_qs));
    EXPECT_EQ(pipeline->state().kind, Kind::idle);
    EXPECT_EQ(asr->finishes, 0);
    EXPECT_EQ(asr->cancels, 1);
    EXPECT_TRUE(injector->deliveries.empty());
    EXPECT_TRUE(history().empty());

    press();
    holdAndRelease(250);
    EXPECT_EQ(asr->finishes, 1);
    EXPECT_EQ(injector->deliveries.size(), 1u);
}

TEST_F(Dictation, ReleaseDuringStartUpIsAppliedOnceRecordingBegins) {
    asr->beginGate = &beginGate;
    LogTail log;
    make();
    ASSERT_TRUE(press());
    EXPECT_TRUE(pipeline->isStarting());
    EXPECT_FALSE(pipeline->begin(PipelineMode::dictation));
    clock->advance(600);
    pipeline->finish(PipelineMode::dictation);
    EXPECT_TRUE(log.contains(
        u"[INFO] Release arrived during startup; will apply once recording begins."_qs));
    EXPECT_TRUE(injector->deliveries.empty());
    beginGate.open();
    settle([this] { return injector->deliveries.size() == 1; });
    EXPECT_TRUE(log.contains(u"[INFO] Applying release that arrived during startup."_qs));
    EXPECT_EQ(pipeline->state().kind, Kind::idle);
    EXPECT_EQ(history().size(), 1u);
}

TEST_F(Dictation, ReleaseDuringAQuickStartUpCountsAsATap) {
    asr->beginGate = &beginGate;
    LogTail log;
    make();
    press();
    pipeline->finish(PipelineMode::dictation);
    beginGate.open();
    settle([this] { return !pipeline->isStarting(); });
    EXPECT_TRUE(log.contains(u"[INFO] Ignored 0 ms key tap."_qs));
    EXPECT_EQ(pipeline->state().kind, Kind::idle);
}

// The release of a press refused while the previous dictation was being recognised must
// neither cancel it nor let a new utterance take over its destination or identity.
TEST_F(Dictation, RefusedPressAndItsReleaseLeaveTheUtteranceInFlightAlone) {
    asr->finishGate = &asrGate;
    make();
    press();
    holdAndRelease(900);
    ASSERT_EQ(pipeline->state().kind, Kind::thinking);

    pipeline->begin(); // refused: still thinking
    frontmost->app = {u"Chat"_qs, u"org.example.chat"_qs};
    pipeline->finish(PipelineMode::dictation);
    EXPECT_EQ(pipeline->state().kind, Kind::thinking);
    EXPECT_EQ(asr->cancels, 0);
    EXPECT_FALSE(pipeline->begin(PipelineMode::dictation));
    pipeline->finish(PipelineMode::dictation);

    frontmost->app = {u"Editor"_qs, u"org.example.editor"_qs};
    asrGate.open();
    settleFlow();
    ASSERT_EQ(injector->deliveries.size(), 1u);
    EXPECT_EQ(injector->deliveries[0].app.bundleID, u"org.example.editor"_qs);
    const auto lines = history();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].appBundleID, u"org.example.editor"_qs);
    EXPECT_EQ(asr->begun.size(), 1u);

    // And the next press is a fresh utterance with its own identity.
    press();
    holdAndRelease(900);
    EXPECT_EQ(injector->deliveries.size(), 2u);
    const auto after = history();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_NE(after[0].id, after[1].id);
}

TEST_F(Dictation, CancelledUtteranceNeverDeliversOrStoresLater) {
    asr->finishGate = &asrGate;
    make();
    press();
    holdAndRelease(900);
    pipeline->cancel();
    EXPECT_EQ(pipeline->state().kind, Kind::idle);
    EXPECT_EQ(asr->cancels, 1);

    asrGate.open();
    QCoreApplication::processEvents();
    EXPECT_TRUE(injector->deliveries.empty());
    EXPECT_TRUE(history().empty());
    EXPECT_EQ(pipeline->state().kind, Kind::idle);

    asr->finishGate = nullptr;
    press();
    holdAndRelease(900);
    EXPECT_EQ(injector->deliveries.size(), 1u);
    EXPECT_EQ(history().size(), 1u);
}

TEST_F(Dictation, RecordingLimitFinishesAndNamesTheLimit) {
    struct Case {
        int seconds;
        const char* text;
    };
    for (const Case c : {Case{60, "1 minute"}, Case{180, "3 minutes"}, Case{90, "90 seconds"}}) {
        SCOPED_TRACE(c.seconds);
        fresh();
        config.maximumRecordingSeconds = c.seconds;
        LogTail log;
        make();
        press();
        clock->advance(qint64(c.seconds) * 1000 - 1);
        EXPECT_EQ(pipeline->state().kind, Kind::recording);
        clock->advance(1);
        settleFlow();
        EXPECT_TRUE(log.contains(u"[WARN] Maximum "_qs + QString::number(c.seconds) +
                                 u"s recording reached without a key-up; finishing "
                                 u"automatically."_qs));
        ASSERT_EQ(notifier->notes.size(), 1u);
        EXPECT_EQ(notifier->notes[0],
                  Note(u"Recording limit reached"_qs,
                       u"Quovant finished this dictation after "_qs + QString::fromUtf8(c.text) +
                           u". Choose a longer limit from the menu or continue in a new "
                           u"dictation."_qs));
        EXPECT_EQ(injector->deliveries.size(), 1u);
    }
}

TEST_F(Dictation, LateKeyUpAfterTheLimitDoesNotAbandonTheDictation) {
    config.maximumRecordingSeconds = 60;
    asr->finishGate = &asrGate;
    make();
    press();
    clock->advance(60000);
    settleFlow();
    ASSERT_EQ(pipeline->state().kind, Kind::thinking);
    pipeline->finish(PipelineMode::dictation);
    EXPECT_EQ(pipeline->state().kind, Kind::thinking);
    asrGate.open();
    settleFlow();
    EXPECT_EQ(injector->deliveries.size(), 1u);
}

TEST_F(Dictation, NoUsableAudioEndsInAnErrorThatClearsItself) {
    struct Case {
        AudioCaptureStatus status;
        const char* message;
    };
    const Case cases[] = {
        {AudioCaptureStatus::noBuffers, "The microphone stopped sending audio. Quovant reset it; "
                                        "please try that dictation again."},
        {AudioCaptureStatus::digitalSilence,
         "The audio system sent a silent microphone stream. Quovant switched to its reliable "
         "fallback; please try that dictation again."},
    };
    for (const auto& c : cases) {
        fresh();
        capture->status = c.status;
        const QString message = QString::fromUtf8(c.message);
        LogTail log;
        make();
        press();
        holdAndRelease(800);
        EXPECT_EQ(pipeline->state(), PipelineState::error(message));
        EXPECT_EQ(notifier->notes, (std::vector{Note(u"Microphone recovered"_qs, message)}));
        EXPECT_TRUE(
            log.contains(u"[ERROR] Recording produced no usable microphone audio. "_qs + message));
        EXPECT_EQ(asr->finishes, 0);
        clock->advance(2499);
        EXPECT_TRUE(pipeline->state().isError());
        clock->advance(1);
        EXPECT_EQ(pipeline->state().kind, Kind::idle);
    }
}

TEST_F(Dictation, ErrorResetDoesNotOverrideANewUtterance) {
    capture->status = AudioCaptureStatus::noBuffers;
    make();
    press();
    holdAndRelease(800);
    ASSERT_TRUE(pipeline->state().isError());
    capture->status = AudioCaptureStatus::usable;
    asr->beginGate = &beginGate;
    ASSERT_TRUE(pipeline->begin(PipelineMode::dictation)); // an error does not refuse
    clock->advance(3000);
    EXPECT_TRUE(pipeline->state().isError());
    beginGate.open();
    settle([this] { return !pipeline->isStarting(); });
    EXPECT_EQ(pipeline->state().kind, Kind::recording);
}

TEST_F(Dictation, FailedStartStaysUntilTheNextPress) {
    capture->failStart = true;
    LogTail log;
    make();
    press();
    const QString description = u"No audio input device is available."_qs;
    EXPECT_EQ(pipeline->state(), PipelineState::error(description));
    EXPECT_EQ(notifier->notes, (std::vector{Note(u"Quovant"_qs, description)}));
    EXPECT_TRUE(log.contains(u"[ERROR] Could not start recording: "_qs + description));
    EXPECT_EQ(asr->cancels, 1);
    clock->advance(60000);
    EXPECT_TRUE(pipeline->state().isError());

    capture->failStart = false;
    press();
    EXPECT_EQ(pipeline->state().kind, Kind::recording);
}

TEST_F(Dictation, RecogniserFailureAndSilence) {
    asr->finishFailure = QuovantError::speechModelUnavailable(u"decoder crashed"_qs);
    const QString description = asr->finishFailure->description();
    LogTail log;
    make();
    press();
    holdAndRelease(800);
    EXPECT_EQ(pipeline->state(), PipelineState::error(description));
    EXPECT_EQ(notifier->notes, (std::vector{Note(u"Transcription failed"_qs, description)}));
    EXPECT_TRUE(log.contains(u"[ERROR] Transcription failed: "_qs + description));
    clock->advance(2500);
    EXPECT_EQ(pipeline->state().kind, Kind::idle);

    asr->finishFailure.reset();
    asr->transcript = u" \n "_qs;
    press();
    holdAndRelease(800);
    EXPECT_TRUE(log.contains(u"[INFO] Nothing was said."_qs));
    EXPECT_EQ(pipeline->state().kind, Kind::idle);
    EXPECT_TRUE(injector->deliveries.empty());
    EXPECT_TRUE(history().empty());
}

// A recogniser that never answers must not leave every later press refused.
TEST_F(Dictation, StepsThatNeverEndAreCutByTheirDeadlines) {
    struct Case {
        const char* name;
        bool beginHangs;
        qint64 deadline;
        QString description;
    };
    const Case cases[] = {
        {"start", true, Pipeline::kStartDeadlineMS,
         u"The recogniser did not start within 10 seconds."_qs},
        {"recognition", false, Pipeline::kRecognitionDeadlineMS,
         QuovantError::speechModelUnavailable(u"recognition did not finish within 90 seconds"_qs)
             .description()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        asr->beginGate = c.beginHangs ? &beginGate : nullptr;
        asr->finishGate = c.beginHangs ? nullptr : &asrGate;
        make();
        pipeline->begin(PipelineMode::dictation);
        settleFlow();
        if (!c.beginHangs) {
            holdAndRelease(800);
        }
        Gate& hanging = c.beginHangs ? beginGate : asrGate;
        ASSERT_TRUE(settle([&] { return hanging.hasWaiters(); }));
        clock->advance(c.deadline - 1);
        settleFlow();
        EXPECT_NE(pipeline->state(), PipelineState::error(c.description));
        clock->advance(1);
        settleFlow();
        EXPECT_EQ(pipeline->state(), PipelineState::error(c.description));
        // A failed start stays until the next press; a failed recognition clears itself.
        clock->advance(2500);
        settleFlow();
        EXPECT_EQ(pipeline->state().kind, c.beginHangs ? Kind::error : Kind::idle);

        asr->beginGate = nullptr;
        asr->finishGate = nullptr;
        EXPECT_TRUE(press());
        holdAndRelease(800);
        EXPECT_EQ(injector->deliveries.size(), 1u);
    }
}

TEST_F(Dictation, UndeliverableTextGoesToTheClipboardAndIsStillStored) {
    struct Case {
        const char* name;
        FrontmostApp atKeyDown;
        FrontmostApp atDelivery;
        bool injectorFails;
        bool delivered;
    };
    const FrontmostApp editor{u"Editor"_qs, u"org.example.editor"_qs};
    const Case cases[] = {
        {"same app", editor, editor, false, true},
        {"other bundle", editor, {u"Editor"_qs, u"org.example.other"_qs}, false, false},
        {"bundle gone", editor, {u"Editor"_qs, std::nullopt}, false, false},
        {"name only, changed",
         {u"Editor"_qs, std::nullopt},
         {u"Chat"_qs, std::nullopt},
         false,
         false},
        {"name only, same", {u"Editor"_qs, std::nullopt}, {u"Editor"_qs, u"x"_qs}, false, true},
        {"nothing known", {}, {u"Chat"_qs, u"org.example.chat"_qs}, false, true},
        {"injector fails", editor, editor, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        injector->failure = c.injectorFails
                                ? std::optional(QuovantError::injectionFailed(u"no focus"_qs))
                                : std::nullopt;
        frontmost->app = c.atKeyDown;
        const FrontmostApp later = c.atDelivery;
        injector->onInject = nullptr;
        LogTail log;
        make();
        press();
        frontmost->app = later;
        holdAndRelease(800);
        EXPECT_EQ(pipeline->state().kind, Kind::idle);
        const QString text = u"Hello there, this is a test."_qs;
        if (c.delivered) {
            ASSERT_EQ(injector->deliveries.size(), 1u);
            EXPECT_TRUE(clipboard->text().isEmpty());
        } else {
            EXPECT_TRUE(injector->deliveries.empty());
            EXPECT_EQ(clipboard->text(), text);
            EXPECT_EQ(notifier->notes,
                      (std::vector{Note(u"Couldn't type that"_qs,
                                        u"The text is on your clipboard — press Ctrl+V to paste "
                                        u"it."_qs)}));
            const QString reason = c.injectorFails
                                       ? u"Could not insert text: no focus"_qs
                                       : u"The destination app changed while you were speaking."_qs;
            EXPECT_TRUE(log.contains(u"[ERROR] Injection failed: "_qs + reason));
        }
        const auto lines = history();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].shippedText, text);
    }
}

// Dictations and prompts alike: text no clipboard takes stays in the history, or else in the log,
// and the notice says which.
TEST_F(Dictation, WithoutAClipboardTheNoticeSaysWhereTheUndeliveredTextIs) {
    QStringList words;
    for (int i = 0; i < 1500; ++i) {
        words.append(u"word"_qs + QString::number(i));
    }
    const QString longRaw = words.join(u' '); // four log lines' worth
    const auto where = [](const QString& what, bool history) {
        return u"The clipboard is not available, so the "_qs + what +
               (history ? u" is only in your history (Show history… in the Quovant menu)."_qs
                        : u" is only in the log (Show log… in the Quovant menu)."_qs);
    };
    const QString withheld =
        u"Quovant used a lossless fallback, so it did not send the prompt automatically. "_qs;
    const QString noRepository =
        QuovantError::repositoryUnavailable(u"choose a repository from the Quovant menu"_qs)
            .description();
    const QString flatFallback = DeveloperPromptDocument::fallback(longRaw).rendered().replace(
        QRegularExpression(u"\\s*\\R+\\s*"_qs), u" "_qs);
    struct Case {
        PipelineMode mode;
        FormatterKind formatter;
        bool history;
        QString raw;
        Note note;
        QString logged; // the text the log must hold, when it is the only copy
    };
    const Case cases[] = {
        {PipelineMode::dictation, FormatterKind::none, true, u"hello there this is a test"_qs,
         {u"Couldn't type that"_qs, where(u"text"_qs, true)}, {}},
        {PipelineMode::dictation, FormatterKind::none, false, longRaw,
         {u"Couldn't type that"_qs, where(u"text"_qs, false)},
         TranscriptGuard::lightlyPunctuate(longRaw)},
        {PipelineMode::developerPrompt, FormatterKind::appleFoundation, true,
         u"add a retry to the upload step in the sync service and keep the existing timeout"_qs,
         {u"Prompt not delivered"_qs, noRepository + u' ' + where(u"prompt"_qs, true)}, {}},
        {PipelineMode::developerPrompt, FormatterKind::none, false, longRaw,
         {u"Review prompt before sending"_qs, withheld + where(u"prompt"_qs, false)},
         flatFallback},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note.first.toStdString() + (c.history ? " with" : " without") + " history");
        fresh();
        config.retainHistory = c.history;
        config.formatter = c.formatter;
        config.promptDestination = PromptDestination::codex;
        asr->transcript = c.raw;
        formatter->compileAnswer = BuiltinFormatter::compileText(c.raw, {});
        injector->failure = QuovantError::injectionFailed(u"no focus"_qs);
        LogTail log;
        make([](PlatformKit& kit) { kit.clipboard = nullptr; });
        press(c.mode);
        holdAndRelease(900, c.mode);
        ASSERT_FALSE(notifier->notes.empty());
        EXPECT_EQ(notifier->notes.back(), c.note);
        EXPECT_EQ(history().size(), c.history ? 1u : 0u);
        const QRegularExpression part(u"^\\[ERROR\\] Undelivered text \\(\\d/\\d\\): "_qs);
        QString kept;
        for (const QString& line : log.messages()) {
            if (const auto match = part.match(line); match.hasMatch()) {
                kept += line.mid(match.capturedLength());
            }
        }
        EXPECT_EQ(kept, c.logged);
    }
}

TEST_F(Dictation, RetainedAudioIsNamedInTheHistory) {
    config.retainAudio = true;
    capture->retainedBytes = QByteArray("RIFF....WAVE");
    make();
    press();
    holdAndRelease(800);
    const auto lines = history();
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_TRUE(lines[0].audioFile.has_value());
    EXPECT_EQ(*lines[0].audioFile, lines[0].id + u".wav"_qs);
    EXPECT_EQ(readFile(dir->filePath(u"audio/"_qs + *lines[0].audioFile)), "RIFF....WAVE");

    capture->retainedBytes.clear(); // nothing written: nothing named
    press();
    holdAndRelease(800);
    const auto more = history();
    ASSERT_EQ(more.size(), 2u);
    EXPECT_FALSE(more[1].audioFile.has_value());
}

TEST_F(Dictation, ContextGatheredAtKeyDown) {
    config.repositoryContextEnabled = true;
    config.learnVocabulary = true;
    RepositoryContext repository;
    repository.rootPath = dir->filePath(u"repo"_qs);
    repository.name = u"quovant"_qs;
    repository.vocabulary = {u"PipelineClock"_qs, u"Kubernetes"_qs};
    repositoryProvider->cached = repository;
    repositoryProvider->refreshed = repository;
    writeFile(dir->filePath(u"vocabulary.txt"_qs), "# mine\nKubernetes\nMarisol\n");
    config.appRules = {AppRule{u"org.example"_qs, u"Terse."_qs}};
    make();
    press();
    holdAndRelease(800);
    ASSERT_TRUE(formatter->lastContext);
    const FormattingContext& context = *formatter->lastContext;
    EXPECT_EQ(context.styleInstruction, u"Terse."_qs);
    EXPECT_EQ(context.vocabulary,
              (QStringList{u"Kubernetes"_qs, u"Marisol"_qs, u"PipelineClock"_qs}));
    EXPECT_EQ(context.repository, repository);
    ASSERT_EQ(asr->begun.size(), 1u);
    EXPECT_TRUE(asr->begun[0].contains(u"Marisol"_qs));
    EXPECT_TRUE(asr->begun[0].contains(u"PipelineClock"_qs));
    EXPECT_EQ(repositoryProvider->refreshes, 1);

    press(); // the history of the first dictation is offered to the second
    holdAndRelease(800);
    EXPECT_EQ(formatter->lastContext->recentTranscripts,
              QStringList{u"Hello there, this is a test."_qs});
}

} // namespace
