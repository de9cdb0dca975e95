#pragma once

// Test doubles at the pipeline's port boundary, a virtual clock and a log reader.

#include "core/platform_kit.h"
#include "core/quovant_error.h"
#include "formatting/formatting_context.h"
#include "formatting/rewrite_command.h"
#include "pipeline/pipeline_clock.h"
#include "repository/repository_context.h"
#include "settings/log.h"
#include "settings/paths.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

#include <atomic>
#include <coroutine>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace quovant::testing {

// Time that moves only when a test says so; due timers fire in deadline order.
class ManualClock final : public PipelineClock {
public:
    qint64 nowMS() const override { return m_now; }

    std::unique_ptr<PipelineTimer> schedule(qint64 milliseconds,
                                            std::function<void()> fire) override {
        auto entry = std::make_shared<Entry>();
        entry->deadline = m_now + std::max<qint64>(milliseconds, 0);
        entry->order = m_nextOrder++;
        entry->fire = std::move(fire);
        m_entries.push_back(entry);
        return std::make_unique<Handle>(entry);
    }

    void advance(qint64 milliseconds) {
        const qint64 target = m_now + milliseconds;
        while (true) {
            std::shared_ptr<Entry> next;
            for (const auto& entry : m_entries) {
                if (entry->live && entry->deadline <= target &&
                    (!next || std::pair(entry->deadline, entry->order) <
                                  std::pair(next->deadline, next->order))) {
                    next = entry;
                }
            }
            if (!next) {
                break;
            }
            m_now = next->deadline;
            next->live = false;
            auto fire = std::move(next->fire);
            fire();
        }
        m_now = target;
        std::erase_if(m_entries, [](const auto& entry) { return !entry->live; });
    }

    int pendingTimers() const {
        return int(std::count_if(m_entries.begin(), m_entries.end(),
                                 [](const auto& entry) { return entry->live; }));
    }

private:
    struct Entry {
        qint64 deadline = 0;
        quint64 order = 0;
        bool live = true;
        std::function<void()> fire;
    };
    struct Handle final : PipelineTimer {
        explicit Handle(std::shared_ptr<Entry> entry) : entry(std::move(entry)) {}
        ~Handle() override { entry->live = false; }
        std::shared_ptr<Entry> entry;
    };

    qint64 m_now = 1'000'000;
    quint64 m_nextOrder = 0;
    std::vector<std::shared_ptr<Entry>> m_entries;
};

// A point a double's operation waits at until the test opens it.
class Gate {
public:
    bool isOpen() const { return m_open; }
    bool hasWaiters() const { return !m_waiters.empty(); }
    // Shuts an opened gate again; nothing may be waiting.
    void reset() { m_open = false; }
    void open() {
        m_open = true;
        for (auto waiter : std::exchange(m_waiters, {})) {
            waiter.resume();
        }
    }
    struct Awaiter {
        Gate* gate;
        bool await_ready() const noexcept { return gate->m_open; }
        void await_suspend(std::coroutine_handle<> caller) { gate->m_waiters.push_back(caller); }
        void await_resume() const noexcept {}
    };
    Awaiter wait() { return Awaiter{this}; }

private:
    bool m_open = false;
    std::vector<std::coroutine_handle<>> m_waiters;
};

class FakeAsr final : public AsrEngine {
public:
    QString transcript = QStringLiteral("hello there this is a test");
    std::optional<QuovantError> finishFailure;
    std::optional<QuovantError> prepareFailure;
    Gate* beginGate = nullptr;
    Gate* finishGate = nullptr;
    Gate* prepareGate = nullptr;
    std::vector<QStringList> begun;
    int finishes = 0;
    int cancels = 0;
    std::atomic<int> chunks{0};

    QString name() const override { return QStringLiteral("Fake recogniser"); }
    bool isStreaming() const override { return true; }
    double requiredSampleRate() const override { return 16000; }
    QCoro::Task<void> prepare() override {
        if (prepareGate) {
            co_await prepareGate->wait();
        }
        if (prepareFailure) {
            throw *prepareFailure;
        }
    }
    QCoro::Task<void> beginUtterance(QStringList contextualStrings) override {
        begun.push_back(contextualStrings);
        if (beginGate) {
            co_await beginGate->wait();
        }
    }
    void append(const AudioChunk&) override { ++chunks; }
    QCoro::Task<QString> finishUtterance() override {
        ++finishes;
        if (finishGate) {
            co_await finishGate->wait();
        }
        if (finishFailure) {
            throw *finishFailure;
        }
        co_return QString(transcript); // a copy: g++ 12 would move the member out
    }
    QCoro::Task<void> cancelUtterance() override {
        ++cancels;
        co_return;
    }
};

// Answers each mode with a fixed text, an error, or never (while its gate stays shut).
class FakeFormatter final : public TextFormatter {
public:
    QString formatAnswer = QStringLiteral("Hello there, this is a test.");
    QString rewriteAnswer;
    QString compileAnswer;
    std::optional<QuovantError> failure;
    Gate* gate = nullptr;
    bool available = true;
    int calls = 0;
    int abandons = 0;
    std::optional<FormattingContext> lastContext;
    std::optional<RewriteCommand> lastCommand;

    QString name() const override { return QStringLiteral("Fake formatter"); }
    bool isAvailable() const override { return available; }
    QCoro::Task<void> prepare() override { co_return; }
    QCoro::Task<QString> format(QString, FormattingContext context) override {
        co_return co_await answer(formatAnswer, std::move(context));
    }
    QCoro::Task<QString> rewrite(QString, RewriteCommand command,
                                 FormattingContext context) override {
        lastCommand = command;
        co_return co_await answer(rewriteAnswer, std::move(context));
    }
    QCoro::Task<QString> compileDeveloperPrompt(QString, FormattingContext context) override {
        co_return co_await answer(compileAnswer, std::move(context));
    }
    void abandonRequests() override { ++abandons; }

private:
    QCoro::Task<QString> answer(QString text, FormattingContext context) {
        ++calls;
        lastContext = std::move(context);
        if (gate) {
            co_await gate->wait();
        }
        if (failure) {
            throw *failure;
        }
        co_return text;
    }
};

// `start` runs on a pool thread, so everything it touches is atomic.
class FakeCapture final : public AudioCapturing {
public:
    std::atomic<AudioCaptureStatus> status{AudioCaptureStatus::usable};
    std::atomic<bool> failStart{false};
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    std::atomic<bool> voiceProcessing{true};
    QByteArray retainedBytes;
    QStringList retainedPaths;

    float currentLevel() const override { return 0; }
    AudioCaptureStatus lastCaptureStatus() const override { return status; }
    void setVoiceProcessingEnabled(bool enabled) override { voiceProcessing = enabled; }
    void prepare() override {}
    void warmUp(double) override {}
    void start(double sampleRate, bool) override {
        ++starts;
        if (failStart) {
            throw QuovantError(QuovantError::Kind::noAudioInput);
        }
        if (onChunk) {
            onChunk(AudioChunk{std::vector<float>(160, 0.1f), sampleRate});
        }
    }
    void stop() override { ++stops; }
    void writeRetainedAudio(const QString& filePath) override {
        retainedPaths.append(filePath);
        if (!retainedBytes.isEmpty()) {
            QFile file(filePath);
            if (file.open(QIODevice::WriteOnly)) {
                file.write(retainedBytes);
            }
        }
    }
};

class FakeFrontmost final : public FrontmostAppProvider {
public:
    FrontmostApp app{QStringLiteral("Editor"), QStringLiteral("org.example.editor")};
    FrontmostApp frontmostApp() override { return app; }
};

class FakeInjector final : public TextInjector {
public:
    struct Delivery {
        QString text;
        FrontmostApp app;
    };
    std::shared_ptr<FakeFrontmost> frontmost;
    std::optional<QuovantError> failure;
    std::vector<Delivery> deliveries;
    std::function<void()> onInject;

    void inject(const QString& text) override {
        if (onInject) {
            onInject();
        }
        if (failure) {
            throw *failure;
        }
        deliveries.push_back({text, frontmost ? frontmost->app : FrontmostApp{}});
    }
};

class FakeSelectionEditor final : public SelectionEditing {
public:
    SelectedTextSnapshot snapshot{QStringLiteral("i has a apple and it are red"), 42,
                                  TextSelectionRange{3, 28}};
    std::optional<QuovantError> captureFailure;
    std::optional<QuovantError> replaceFailure;
    std::vector<std::pair<SelectedTextSnapshot, QString>> replacements;

    SelectedTextSnapshot captureSelection() override {
        if (captureFailure) {
            throw *captureFailure;
        }
        return snapshot;
    }
    void replaceSelection(const SelectedTextSnapshot& original, const QString& text) override {
        if (replaceFailure) {
            throw *replaceFailure;
        }
        replacements.emplace_back(original, text);
    }
};

class FakeHandoff final : public AgentHandoffLaunching {
public:
    bool installed = true;
    std::optional<QuovantError> failure;
    // While shut, a hand-off waits (as the real one does for its agent) and `waiting` is true.
    Gate* gate = nullptr;
    bool waiting = false;
    struct Call {
        QString prompt;
        AgentKind agent;
        RepositoryContext repository;
    };
    std::vector<Call> calls;

    bool isAgentInstalled(AgentKind) override { return installed; }
    QCoro::Task<void> handoff(QString prompt, AgentKind agent,
                              RepositoryContext repository) override {
        if (gate) {
            waiting = true;
            co_await gate->wait();
            waiting = false;
        }
        if (failure) {
            throw *failure;
        }
        calls.push_back({prompt, agent, repository});
        co_return;
    }
};

class FakeRepositoryProvider final : public RepositoryContextProviding {
public:
    std::optional<RepositoryContext> cached;
    std::optional<RepositoryContext> refreshed;
    Gate* refreshGate = nullptr;
    int refreshes = 0;

    std::optional<RepositoryContext> cachedContext(const std::optional<QString>&,
                                                   const std::optional<QString>&) override {
        return cached;
    }
    QCoro::Task<std::optional<RepositoryContext>> refreshContext(std::optional<QString>,
                                                                 std::optional<QString>) override {
        ++refreshes;
        if (refreshGate) {
            co_await refreshGate->wait();
        }
        co_return std::optional<RepositoryContext>(refreshed);
    }
};

class FakeNotifier final : public UserNotifier {
public:
    std::vector<std::pair<QString, QString>> notes;
    void notify(const QString& title, const QString& body) override {
        notes.emplace_back(title, body);
    }
};

// The messages logged since construction, read back from the real log file.
class LogTail {
public:
    LogTail() : m_start(size()) {}

    QStringList messages() const {
        Log::flush();
        QFile file(path());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        file.seek(std::min<qint64>(m_start, file.size()));
        QStringList result;
        for (const QByteArray& line : file.readAll().split('\n')) {
            // "HH:mm:ss.SSS [LEVEL] message"
            const qsizetype close = line.indexOf("] ");
            if (close > 0) {
                result.append(QString::fromUtf8(line.mid(13)));
            }
        }
        return result;
    }
    bool contains(const QString& levelAndMessage) const {
        return messages().contains(levelAndMessage);
    }
    // For lines that end in detail that changes from run to run (timings, error texts).
    ::testing::AssertionResult containsLineStartingWith(const QString& prefix) const {
        const QStringList all = messages();
        for (const QString& message : all) {
            if (message.startsWith(prefix)) {
                return ::testing::AssertionSuccess();
            }
        }
        return ::testing::AssertionFailure()
               << "no line starts with " << prefix.toStdString() << " in:\n"
               << all.join(u'\n').toStdString();
    }

private:
    static QString path() { return Paths::root() + QStringLiteral("/quovant.log"); }
    static qint64 size() {
        Log::flush();
        return QFile(path()).size();
    }
    qint64 m_start;
};

// Processes events until `done` holds; the wall-clock cap only keeps a broken test from hanging.
inline bool settle(const std::function<bool()>& done) {
    QElapsedTimer cap;
    cap.start();
    while (!done()) {
        if (cap.elapsed() > 10000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
    QCoreApplication::processEvents();
    return true;
}

} // namespace quovant::testing

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
