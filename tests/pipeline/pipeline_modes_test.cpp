#include "pipeline_test_fixture.h"

#include "formatting/builtin_formatter.h"
#include "formatting/developer_prompt_document.h"
#include "settings/learner.h"

using namespace quovant;
using namespace quovant::testing;
using Kind = PipelineState::Kind;

namespace {

using Note = std::pair<QString, QString>;
const QString kFixed = u"I have an apple and it is red."_qs;

class EditInPlace : public PipelineTest {
protected:
    void SetUp() override {
        PipelineTest::SetUp();
        asr->transcript = u"fix grammar"_qs;
        formatter->rewriteAnswer = kFixed;
    }
};

TEST_F(EditInPlace, AcceptedRewriteReplacesTheCapturedSelectionAndIsNeverStored) {
    config.retainAudio = true;
    capture->retainedBytes = "RIFF";
    LogTail log;
    make();
    ASSERT_TRUE(press(PipelineMode::editSelection));
    EXPECT_TRUE(log.contains(u"[INFO] Edit command recording started."_qs));
    holdAndRelease(900, PipelineMode::editSelection);
    ASSERT_EQ(selectionEditor->replacements.size(), 1u);
    EXPECT_EQ(selectionEditor->replacements[0].first, selectionEditor->snapshot);
    EXPECT_EQ(selectionEditor->replacements[0].second, kFixed);
    EXPECT_EQ(formatter->lastCommand, RewriteCommand::fixGrammar);
    EXPECT_EQ(pipeline->state().kind, Kind::idle);
    EXPECT_TRUE(
        log.containsLineStartingWith(u"[INFO] Edit in Place complete · Fix grammar · asr "_qs));
    EXPECT_TRUE(history().empty());
    EXPECT_TRUE(stored.empty());
    EXPECT_TRUE(capture->retainedPaths.isEmpty());
    EXPECT_EQ(pipeline->learner().model().utterances, 0);
    EXPECT_EQ(pipeline->latency().samples().size(), 1u);
}

TEST_F(EditInPlace, KeyDownRefusals) {
    struct Case {
        const char* name;
        FormatterKind formatterKind;
        bool hasEditor;
        std::optional<QuovantError> captureFailure;
        const char* body;
    };
    const Case cases[] = {
        {"no model",
         FormatterKind::none,
         true,
         {},
         "Choose the built-in formatter or Ollama before editing selected text."},
        {"no editor",
         FormatterKind::appleFoundation,
         false,
         {},
         "Selected-text editing is not available on this platform."},
        {"nothing selected", FormatterKind::appleFoundation, true,
         QuovantError(QuovantError::Kind::noTextSelected),
         "Select text first, then hold the Edit in Place key."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        config.formatter = c.formatterKind;
        selectionEditor->captureFailure = c.captureFailure;
        make([&](PlatformKit& kit) {
            if (!c.hasEditor) {
                kit.selectionEditor = nullptr;
            }
        });
        EXPECT_FALSE(pipeline->beginEditing());
        EXPECT_EQ(notifier->notes,
                  (std::vector{Note(u"Edit in Place"_qs, QString::fromUtf8(c.body))}));
        EXPECT_EQ(capture->starts.load(), 0);
        EXPECT_FALSE(pipeline->isStarting());
        // Its release changes nothing either.
        pipeline->finish(PipelineMode::editSelection);
        EXPECT_EQ(pipeline->state().kind, Kind::idle);
    }
}

TEST_F(EditInPlace, FlowOutcomesLeaveTheSelectionAloneUnlessAccepted) {
    struct Case {
        const char* name;
        const char* transcript;
        std::optional<QuovantError> rewriteFailure;
        bool hangs;
        const char* answer;
        std::optional<QuovantError> replaceFailure;
        Note note;
        const char* logLine;
    };
    const QString hints = RewriteCommands::recognitionHints().join(u", "_qs);
    const Case cases[] = {
        {"not a command",
         "make it sparkle",
         {},
         false,
         "",
         {},
         {u"Edit command not recognized"_qs, u"Say one command: "_qs + hints + u"."_qs},
         "[INFO] Edit command was not recognized; selection left untouched."},
        {"times out",
         "fix grammar",
         {},
         true,
         "",
         {},
         {u"Rewrite timed out"_qs, u"The original text was left unchanged."_qs},
         "[WARN] Selected-text rewrite exceeded its 2500 ms budget."},
        {"fails",
         "fix grammar",
         QuovantError::formatterUnavailable(u"down"_qs),
         false,
         "",
         {},
         {u"Rewrite failed"_qs, u"The original text was left unchanged."_qs},
         "[WARN] Selected-text rewrite failed: "},
        {"unsafe",
         "fix grammar",
         {},
         false,
         "Sure! Here is the rewritten text you asked for.",
         {},
         {u"Unsafe rewrite blocked"_qs,
          u"Quovant kept the original text because the rewrite changed protected content or "
          u"meaning."_qs},
         "[WARN] Rewrite guard kept the original selection ("},
        {"selection changed",
         "fix grammar",
         {},
         false,
         "I have an apple and it is red.",
         QuovantError(QuovantError::Kind::selectionChanged),
         {u"Nothing was replaced"_qs,
          u"The selection changed while you were speaking. Nothing was replaced."_qs},
         "[WARN] Selected text was not replaced: The selection changed while you were speaking. "
         "Nothing was replaced."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        selectionEditor->replacements.clear();
        asr->transcript = QString::fromUtf8(c.transcript);
        formatter->failure = c.rewriteFailure;
        formatter->gate = c.hangs ? &formatterGate : nullptr;
        formatter->abandons = 0;
        formatter->rewriteAnswer = QString::fromUtf8(c.answer);
        selectionEditor->replaceFailure = c.replaceFailure;
        LogTail log;
        make();
        press(PipelineMode::editSelection);
        holdAndRelease(900, PipelineMode::editSelection);
        if (c.hangs) {
            clock->advance(2500);
            settleFlow();
        }
        EXPECT_EQ(pipeline->state().kind, Kind::idle);
        EXPECT_TRUE(selectionEditor->replacements.empty());
        EXPECT_EQ(formatter->abandons, c.hangs ? 1 : 0);
        EXPECT_EQ(notifier->notes, std::vector{c.note});
        EXPECT_TRUE(log.containsLineStartingWith(QString::fromUtf8(c.logLine)));
        EXPECT_TRUE(history().empty());
    }
}

TEST_F(EditInPlace, DictationKeyReleaseCannotEndAnEditRecording) {
    make();
    press(PipelineMode::editSelection);
    clock->advance(900);
    pipeline->finish(PipelineMode::dictation);
    EXPECT_EQ(pipeline->state().kind, Kind::recording);
    pipeline->finish(PipelineMode::editSelection);
    settleFlow();
    EXPECT_EQ(selectionEditor->replacements.size(), 1u);
}

class PromptMode : public PipelineTest {
protected:
    void SetUp() override {
        PipelineTest::SetUp();
        asr->transcript = u"add a retry to the upload step in the sync service and keep the "
                          u"existing timeout"_qs;
        formatter->compileAnswer = BuiltinFormatter::compileText(asr->transcript, {});
        repository.rootPath = u"/tmp/quovant-repo"_qs;
        repository.name = u"quovant"_qs;
        repository.vocabulary = {u"SyncService"_qs, u"uploadStep"_qs};
    }

    RepositoryContext repository;
};

TEST_F(PromptMode, AcceptedPromptIsTypedAndStoredWithItsVerdict) {
    LogTail log;
    make();
    ASSERT_TRUE(press(PipelineMode::developerPrompt));
    EXPECT_TRUE(log.contains(u"[INFO] Prompt Mode recording started."_qs));
    holdAndRelease(900, PipelineMode::developerPrompt);
    ASSERT_EQ(injector->deliveries.size(), 1u);
    EXPECT_EQ(injector->deliveries[0].text,
              DeveloperPromptDocument::parse(formatter->compileAnswer)->rendered());
    const auto lines = history();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].guardVerdict, u"promptMode:accepted"_qs);
    EXPECT_EQ(pipeline->learner().model().utterances, 0);
    const QStringList messages = log.messages();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const QString& m) {
        return m.startsWith(u"[INFO] Prompt Mode complete · asr "_qs) &&
               m.endsWith(u" · accepted"_qs);
    })) << messages.join(u'\n').toStdString();
}

TEST_F(PromptMode, DeliveryByDestinationAndVerdict) {
    const QString fallback = DeveloperPromptDocument::fallback(
                                 u"add a retry to the upload step in the sync service and keep the "
                                 u"existing timeout"_qs)
                                 .rendered();
    struct Case {
        const char* name;
        PromptDestination destination;
        bool modelMisbehaves;
        bool withRepository;
        bool withHandoffPort;
        std::optional<QuovantError> handoffFailure;
        bool handedOff;
        std::vector<Note> notes;
        const char* logLine;
    };
    const QString copied = u" The prompt is on your clipboard."_qs;
    const Case cases[] = {
        {"claude, accepted", PromptDestination::claude, false, true, true, {}, true, {}, nullptr},
        {"claude, rejected",
         PromptDestination::claude,
         true,
         true,
         true,
         {},
         false,
         {{u"Prompt simplified for safety"_qs,
           u"The model changed protected content, so Quovant kept your request verbatim."_qs},
          {u"Review prompt before sending"_qs,
           u"Quovant used a lossless fallback, so it did not send the prompt automatically. "
           u"Review it on your clipboard."_qs}},
         "[WARN] Direct handoff withheld because the prompt used a lossless fallback (rejected"},
        {"codex, no repository",
         PromptDestination::codex,
         false,
         false,
         true,
         {},
         false,
         {{u"Prompt copied instead"_qs,
           u"Could not identify a repository: choose a repository from the Quovant menu."_qs +
               copied}},
         "[ERROR] Prompt delivery failed: Could not identify a repository: choose a repository "
         "from the Quovant menu."},
        {"codex, no handoff port",
         PromptDestination::codex,
         false,
         true,
         false,
         {},
         false,
         {{u"Prompt copied instead"_qs,
           QuovantError::agentHandoffFailed(u"direct handoff is not available on this platform"_qs)
                   .description() +
               copied}},
         "[ERROR] Prompt delivery failed: "},
        {"codex, terminal fails",
         PromptDestination::codex,
         false,
         true,
         true,
         QuovantError::agentHandoffFailed(u"no terminal"_qs),
         false,
         {{u"Prompt copied instead"_qs,
           QuovantError::agentHandoffFailed(u"no terminal"_qs).description() + copied}},
         "[ERROR] Prompt delivery failed: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        handoff->calls.clear();
        handoff->failure = c.handoffFailure;
        config.promptDestination = c.destination;
        config.repositoryContextEnabled = c.withRepository;
        repositoryProvider->cached = repository;
        repositoryProvider->refreshed = repository;
        if (c.modelMisbehaves) {
            formatter->compileAnswer = u"Sure! I would be happy to help with that."_qs;
        } else {
            formatter->compileAnswer = BuiltinFormatter::compileText(asr->transcript, {});
        }
        LogTail log;
        make([&](PlatformKit& kit) {
            if (!c.withHandoffPort) {
                kit.agentHandoff = nullptr;
            }
        });
        press(PipelineMode::developerPrompt);
        holdAndRelease(900, PipelineMode::developerPrompt);
        EXPECT_EQ(pipeline->state().kind, Kind::idle);
        EXPECT_TRUE(injector->deliveries.empty());
        EXPECT_EQ(handoff->calls.size(), c.handedOff ? 1u : 0u);
        if (c.handedOff) {
            EXPECT_EQ(handoff->calls[0].agent, AgentKind::claude);
            EXPECT_EQ(handoff->calls[0].repository, repository);
            EXPECT_TRUE(clipboard->text().isEmpty());
        } else {
            EXPECT_EQ(clipboard->text(),
                      c.modelMisbehaves
                          ? fallback
                          : DeveloperPromptDocument::parse(formatter->compileAnswer)->rendered());
        }
        EXPECT_EQ(notifier->notes, c.notes);
        if (c.logLine) {
            EXPECT_TRUE(log.containsLineStartingWith(QString::fromUtf8(c.logLine)));
        }
        EXPECT_EQ(history().size(), 1u);
    }
}

TEST_F(PromptMode, HandoffThatNeverReturnsEndsWithTheSpecificationOnTheClipboard) {
    Gate handoffGate;
    handoff->gate = &handoffGate;
    config.promptDestination = PromptDestination::claude;
    repositoryProvider->cached = repository;
    repositoryProvider->refreshed = repository;
    make();
    press(PipelineMode::developerPrompt);
    holdAndRelease(900, PipelineMode::developerPrompt);
    clock->advance(Pipeline::kHandoffDeadlineMS);
    settleFlow();
    EXPECT_EQ(pipeline->state().kind, Kind::idle);
    EXPECT_EQ(clipboard->text(),
              DeveloperPromptDocument::parse(formatter->compileAnswer)->rendered());
    ASSERT_EQ(notifier->notes.size(), 1u);
    EXPECT_EQ(notifier->notes[0].first, u"Prompt copied instead"_qs);
    EXPECT_TRUE(press(PipelineMode::developerPrompt));
}

TEST_F(PromptMode, HandoffFailingAfterACancelStillLeavesThePromptOnTheClipboard) {
    Gate handoffGate;
    handoff->gate = &handoffGate;
    handoff->failure = QuovantError::agentHandoffFailed(u"terminal could not be opened"_qs);
    config.promptDestination = PromptDestination::codex;
    config.repositoryContextEnabled = true;
    repositoryProvider->cached = repository;
    repositoryProvider->refreshed = repository;
    make();
    press(PipelineMode::developerPrompt);
    clock->advance(900);
    pipeline->finish(PipelineMode::developerPrompt);
    ASSERT_TRUE(settle([this] { return handoff->waiting; }));
    pipeline->cancel();
    EXPECT_EQ(pipeline->state().kind, Kind::idle);
    handoffGate.open();
    EXPECT_TRUE(settle([this] { return !clipboard->text().isEmpty(); }));
    EXPECT_EQ(clipboard->text(),
              DeveloperPromptDocument::parse(formatter->compileAnswer)->rendered());
    // Abandoned: nothing is announced or stored.
    EXPECT_TRUE(notifier->notes.empty());
    EXPECT_TRUE(history().empty());
}

TEST_F(PromptMode, CompilerThatNeverAnswersShipsTheVerbatimRequest) {
    formatter->gate = &formatterGate;
    LogTail log;
    make();
    press(PipelineMode::developerPrompt);
    holdAndRelease(900, PipelineMode::developerPrompt);
    // 2500 is clamped to 1800 for prompts; the ceiling for 2500 is 15000.
    clock->advance(1799);
    EXPECT_TRUE(injector->deliveries.empty());
    clock->advance(1);
    settleFlow();
    ASSERT_EQ(injector->deliveries.size(), 1u);
    EXPECT_EQ(injector->deliveries[0].text,
              DeveloperPromptDocument::fallback(asr->transcript).rendered());
    EXPECT_TRUE(log.contains(u"[WARN] Prompt compilation exceeded its 1800 ms budget."_qs));
    EXPECT_EQ(formatter->abandons, 1);
    EXPECT_EQ(notifier->notes,
              (std::vector{Note(u"Prompt simplified for safety"_qs,
                                u"The local model timed out, so Quovant kept your request "
                                u"verbatim."_qs)}));
    EXPECT_EQ(history()[0].guardVerdict, u"promptMode:formatterFailed"_qs);
}

TEST_F(PromptMode, SlowRepositoryRefreshFallsBackToTheCachedContextAfter300ms) {
    config.repositoryContextEnabled = true;
    config.promptDestination = PromptDestination::codex;
    RepositoryContext fresher = repository;
    fresher.name = u"fresher"_qs;
    repositoryProvider->cached = repository;
    repositoryProvider->refreshed = fresher;
    repositoryProvider->refreshGate = &repositoryGate;
    make();
    press(PipelineMode::developerPrompt);
    clock->advance(900);
    pipeline->finish(PipelineMode::developerPrompt);
    // Waiting for the refresh: its deadline is the only timer left.
    ASSERT_TRUE(settle([this] { return clock->pendingTimers() == 1; }));
    clock->advance(299);
    EXPECT_TRUE(handoff->calls.empty());
    clock->advance(1);
    settleFlow();
    ASSERT_EQ(handoff->calls.size(), 1u);
    EXPECT_EQ(handoff->calls[0].agent, AgentKind::codex);
    EXPECT_EQ(handoff->calls[0].repository, repository);
}

TEST_F(PromptMode, TimelyRefreshJoinsTheContextAndItsTermsFoldedOnce) {
    config.repositoryContextEnabled = true;
    writeFile(dir->filePath(u"vocabulary.txt"_qs), "syncservice\n");
    RepositoryContext fresher = repository;
    fresher.name = u"fresher"_qs;
    fresher.vocabulary = {u"SyncService"_qs, u"RetryPolicy"_qs};
    repositoryProvider->cached = std::nullopt;
    repositoryProvider->refreshed = fresher;
    make();
    press(PipelineMode::developerPrompt);
    holdAndRelease(900, PipelineMode::developerPrompt);
    ASSERT_TRUE(formatter->lastContext);
    EXPECT_EQ(formatter->lastContext->repository, fresher);
    EXPECT_EQ(formatter->lastContext->vocabulary,
              (QStringList{u"syncservice"_qs, u"RetryPolicy"_qs}));
    EXPECT_EQ(pipeline->repositoryContext(), fresher);
}

TEST(PipelineSettings, PreferencesAndAgents) {
    TemporaryHome home;
    auto store = std::make_shared<Store>(home.path());
    auto capture = std::make_shared<FakeCapture>();
    auto handoff = std::make_shared<FakeHandoff>();
    auto provider = std::make_shared<FakeRepositoryProvider>();
    RepositoryContext repository;
    repository.name = u"pinned"_qs;
    provider->refreshed = repository;
    PlatformKit kit;
    kit.capture = capture;
    kit.agentHandoff = handoff;
    kit.repositoryContext = provider;
    Config config;
    config.formatter = FormatterKind::none;
    config.asr = AsrKind::whisperServer;
    Pipeline pipeline(config, kit, store, std::make_shared<ManualClock>());
    EXPECT_TRUE(QFile::exists(home.filePath(u"vocabulary.txt"_qs)));
    EXPECT_EQ(pipeline.formatter()->name(), u"None (raw transcript)"_qs);

    EXPECT_TRUE(pipeline.isAgentAvailable(AgentKind::codex));
    handoff->installed = false;
    EXPECT_FALSE(pipeline.isAgentAvailable(AgentKind::claude));

    config.voiceProcessingEnabled = false;
    config.pinnedRepositoryPath = u"/src/pinned"_qs;
    run(pipeline.updatePreferences(config));
    EXPECT_FALSE(capture->voiceProcessing.load());
    EXPECT_EQ(provider->refreshes, 1);
    EXPECT_EQ(pipeline.repositoryContext(), repository);

    config.repositoryContextEnabled = false;
    run(pipeline.updatePreferences(config));
    EXPECT_FALSE(pipeline.repositoryContext().has_value());
    EXPECT_EQ(provider->refreshes, 1);
    EXPECT_FALSE(run(pipeline.refreshRepositoryContext()).has_value());
    EXPECT_EQ(pipeline.config(), config);
}

TEST(PipelineSettings, PrepareReportsAnUnavailableRecogniser) {
    QTemporaryDir dir;
    auto store = std::make_shared<Store>(dir.path());
    auto clock = std::make_shared<ManualClock>();
    auto asr = std::make_shared<FakeAsr>();
    asr->prepareFailure = QuovantError::speechModelUnavailable(u"no model"_qs);
    PlatformKit kit;
    kit.capture = std::make_shared<FakeCapture>();
    kit.nativeAsrEngine = [asr](const Config&) -> std::shared_ptr<AsrEngine> { return asr; };
    kit.nativeFormatter = [] { return std::make_shared<BuiltinFormatter>(); };
    Config config;
    config.repositoryContextEnabled = false;
    Pipeline pipeline(config, kit, store, clock);
    run(pipeline.prepare());
    EXPECT_EQ(pipeline.state(), PipelineState::error(asr->prepareFailure->description()));

    Gate never;
    asr->prepareFailure.reset();
    asr->prepareGate = &never;
    Pipeline slow(config, kit, store, clock);
    LogTail log;
    auto preparing = slow.prepare();
    clock->advance(30000);
    settle([&] { return slow.state().isError(); });
    EXPECT_EQ(slow.state(), PipelineState::error(u"Speech model preparation timed out."_qs));
    EXPECT_TRUE(log.contains(
        u"[ERROR] ASR preparation timed out after 30s. It will retry on first dictation."_qs));
    never.open();
}

} // namespace
