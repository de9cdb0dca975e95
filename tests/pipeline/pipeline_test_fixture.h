#pragma once

#include "pipeline/pipeline.h"
#include "pipeline_doubles.h"
#include "platform/inert/memory_clipboard.h"
#include "settings/store.h"
#include "settings/utterance.h"
#include "support/test_support.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace quovant::testing {

// A pipeline wired to doubles at every port, a real store and learner in a fresh directory, and
// a virtual clock.
class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        frontmost = std::make_shared<FakeFrontmost>();
        injector->frontmost = frontmost;
        config.retainHistory = true;
        config.repositoryContextEnabled = false;
    }

    void TearDown() override {
        for (Gate* gate : {&asrGate, &formatterGate, &beginGate, &repositoryGate}) {
            if (!gate->isOpen()) {
                gate->open();
            }
        }
        QCoreApplication::processEvents();
    }

    // A clean slate for the next row of a table: new directory, history, gates and records.
    void fresh() {
        TearDown();
        pipeline.reset();
        store.reset();
        dir = std::make_unique<QTemporaryDir>();
        for (Gate* gate : {&asrGate, &formatterGate, &beginGate, &repositoryGate}) {
            gate->reset();
        }
        states.clear();
        stored.clear();
        injector->deliveries.clear();
        notifier->notes.clear();
        clipboard->setPlainText({});
    }

    PlatformKit platform() {
        PlatformKit kit;
        kit.capture = capture;
        kit.injector = injector;
        kit.selectionEditor = selectionEditor;
        kit.frontmostApp = frontmost;
        kit.repositoryContext = repositoryProvider;
        kit.agentHandoff = handoff;
        kit.notifier = notifier;
        kit.clipboard = clipboard;
        kit.nativeAsrEngine = [this](const Config&) -> std::shared_ptr<AsrEngine> { return asr; };
        kit.nativeFormatter = [this]() -> std::shared_ptr<TextFormatter> { return formatter; };
        return kit;
    }

    // `adjust` takes ports away from the kit, for the rows that run without them.
    Pipeline& make(const std::function<void(PlatformKit&)>& adjust = {}) {
        PlatformKit kit = platform();
        if (adjust) {
            adjust(kit);
        }
        store = std::make_shared<Store>(dir->path());
        pipeline = std::make_unique<Pipeline>(config, kit, store, clock);
        pipeline->onStateChange = [this](const PipelineState& state) { states.push_back(state); };
        pipeline->onUtterance = [this](const Utterance& utterance) { stored.push_back(utterance); };
        return *pipeline;
    }

    // Key down, then the start-up runs to its end (recording or a failed start).
    bool press(PipelineMode mode = PipelineMode::dictation) {
        bool accepted = false;
        switch (mode) {
        case PipelineMode::dictation:
            accepted = pipeline->begin(mode);
            break;
        case PipelineMode::editSelection:
            accepted = pipeline->beginEditing();
            break;
        case PipelineMode::developerPrompt:
            accepted = pipeline->beginPrompting();
            break;
        }
        if (accepted) {
            settle([this] {
                return !pipeline->isStarting() || (asr->beginGate && !asr->beginGate->isOpen());
            });
        }
        return accepted;
    }

    // Holds for `heldMS` of virtual time, releases, and lets the flow run as far as it can.
    void holdAndRelease(qint64 heldMS, PipelineMode mode = PipelineMode::dictation) {
        clock->advance(heldMS);
        pipeline->finish(mode);
        settleFlow();
    }

    void settleFlow() {
        EXPECT_TRUE(settle([this] {
            return pipeline->state().kind != PipelineState::Kind::thinking || waitingOnGate();
        }));
    }

    bool waitingOnGate() const {
        return (asr->finishGate && !asr->finishGate->isOpen()) ||
               (formatter->gate && !formatter->gate->isOpen());
    }

    std::vector<Utterance> history() const {
        std::vector<Utterance> lines;
        store->totalCount(); // waits for queued appends
        for (const QByteArray& line :
             readFile(dir->filePath(QStringLiteral("history.jsonl"))).split('\n')) {
            if (auto utterance = Utterance::parse(line)) {
                lines.push_back(*utterance);
            }
        }
        return lines;
    }

    std::unique_ptr<QTemporaryDir> dir = std::make_unique<QTemporaryDir>();
    Config config;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<FakeAsr> asr = std::make_shared<FakeAsr>();
    std::shared_ptr<FakeFormatter> formatter = std::make_shared<FakeFormatter>();
    std::shared_ptr<FakeCapture> capture = std::make_shared<FakeCapture>();
    std::shared_ptr<FakeFrontmost> frontmost;
    std::shared_ptr<FakeInjector> injector = std::make_shared<FakeInjector>();
    std::shared_ptr<FakeSelectionEditor> selectionEditor = std::make_shared<FakeSelectionEditor>();
    std::shared_ptr<FakeRepositoryProvider> repositoryProvider =
        std::make_shared<FakeRepositoryProvider>();
    std::shared_ptr<FakeHandoff> handoff = std::make_shared<FakeHandoff>();
    std::shared_ptr<FakeNotifier> notifier = std::make_shared<FakeNotifier>();
    std::shared_ptr<MemoryClipboard> clipboard = std::make_shared<MemoryClipboard>();
    Gate asrGate, formatterGate, beginGate, repositoryGate;
    std::shared_ptr<Store> store;
    std::unique_ptr<Pipeline> pipeline;
    std::vector<PipelineState> states;
    std::vector<Utterance> stored;
};

} // namespace quovant::testing
