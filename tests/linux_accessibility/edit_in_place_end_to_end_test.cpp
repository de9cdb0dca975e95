// Edit in Place end to end: text selected in a GTK program, the command spoken by flite into the
// embedded recogniser, the rewrite from a local model server, the rewrite guard, the selection
// read through the accessibility bus and replaced by a real paste (clipboard and XTest Ctrl+V).
// Only the microphone is a double (it plays a recording).

#include "linux_accessibility/accessibility_desktop.h"
#include "pipeline/engine_factory.h"
#include "pipeline/pipeline.h"
#include "pipeline/pipeline_doubles.h"
#include "platform/inert/memory_clipboard.h"
#include "platform/linux/accessibility/atspi_reader.h"
#include "platform/linux/accessibility/linux_selection_editor.h"
#include "platform/linux/x11/linux_text_injector.h"
#include "settings/store.h"
#include "speech/wav_decoder.h"
#include "support/fields_program.h"
#include "support/local_http_server.h"
#include "support/test_support.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using namespace quovant::testing;

// Plays a recording into the recogniser as soon as capture starts.
class PlaybackCapture final : public AudioCapturing {
public:
    std::vector<float> samples;

    float currentLevel() const override { return 0; }
    AudioCaptureStatus lastCaptureStatus() const override { return AudioCaptureStatus::usable; }
    void setVoiceProcessingEnabled(bool) override {}
    void prepare() override {}
    void warmUp(double) override {}
    void start(double sampleRate, bool) override {
        const auto chunk = static_cast<std::size_t>(sampleRate / 10);
        for (std::size_t at = 0; at < samples.size(); at += chunk) {
            const auto end = std::min(samples.size(), at + chunk);
            onChunk(AudioChunk{std::vector<float>(samples.begin() + at, samples.begin() + end),
                               sampleRate});
        }
    }
    void stop() override {}
    void writeRetainedAudio(const QString&) override {}
};

// The real injector, counting what it was asked to paste.
class CountingInjector final : public TextInjector {
public:
    explicit CountingInjector(std::shared_ptr<AtspiReader> reader)
        : m_injector([reader] { return reader->focusedFieldIsSecure(); }) {}
    void inject(const QString& text) override {
        injected.append(text);
        m_injector.inject(text);
    }
    QStringList injected;

private:
    LinuxTextInjector m_injector;
};

class EditInPlaceEndToEnd : public ::testing::TestWithParam<FieldsProgram::Toolkit> {
protected:
    static void SetUpTestSuite() {
        s_speech = new std::vector<float>;
        QTemporaryDir dir;
        const QString wav = dir.filePath(u"command.wav"_s);
        if (speakWithFlite(u"awb"_s, u"make this formal"_s, wav)) {
            *s_speech = WavDecoder::decode(readFile(wav)).samples;
        }
    }
    static void TearDownTestSuite() {
        delete s_speech;
        s_speech = nullptr;
    }

    void SetUp() override {
        ASSERT_FALSE(s_speech->empty()) << "flite did not run";
        desktop = &AccessibilityDesktop::shared();
        ASSERT_TRUE(desktop->running());
        ASSERT_TRUE(desktop->bus.setEnabled(true));
        program =
            std::make_unique<FieldsProgram>(desktop->bus.environment(), u"Mail"_s, GetParam());
        ASSERT_TRUE(program->ready());
        reader = std::make_shared<AtspiReader>();
        ASSERT_TRUE(reader->waitUntilStarted(20000));
        injector = std::make_shared<CountingInjector>(reader);
        notifier = std::make_shared<FakeNotifier>();
    }

    void TearDown() override {
        pipeline.reset();
        injector.reset();
        reader.reset();
        program.reset();
    }

    // The model server answers the model list, the warm-up and then `rewrite`.
    void startPipeline(const QString& rewrite) {
        server.enqueue(LocalHttpServer::Reply::json(200, R"({"models":[{"name":"tiny:1b"}]})"));
        server.enqueue(LocalHttpServer::Reply::json(200, R"({"response":"ok"})"));
        server.enqueue(LocalHttpServer::Reply::json(
            200, QJsonDocument(QJsonObject{{u"response"_s, rewrite}}).toJson()));
        Config config;
        config.formatter = FormatterKind::ollama;
        config.ollamaModel = u"tiny:1b"_s;
        config.ollamaEndpoint = server.url().toString();
        config.repositoryContextEnabled = false;
        auto capture = std::make_shared<PlaybackCapture>();
        capture->samples = *s_speech;
        PlatformKit kit;
        kit.capture = capture;
        kit.injector = injector;
        kit.selectionEditor = std::make_shared<LinuxSelectionEditor>(reader, injector);
        kit.frontmostApp = std::make_shared<FakeFrontmost>();
        kit.notifier = notifier;
        kit.clipboard = std::make_shared<MemoryClipboard>();
        EngineFactory::installNativeEngines(kit);
        pipeline =
            std::make_unique<Pipeline>(config, kit, std::make_shared<Store>(home.path()), clock);
        run(pipeline->prepare());
    }

    void select(const QString& text, int start, int end) {
        ASSERT_TRUE(program->focus(u"editor"_s));
        ASSERT_TRUE(program->setText(u"editor"_s, text));
        ASSERT_TRUE(program->select(u"editor"_s, start, end));
        const QList<uint> characters = text.toUcs4();
        const QString selected = QString::fromUcs4(
            reinterpret_cast<const char32_t*>(characters.constData()) + start, end - start);
        ASSERT_TRUE(eventually([&] {
            const SelectionReading reading = reader->readSelection();
            return reading.outcome == SelectionReading::Outcome::read &&
                   reading.selectedText == selected;
        }));
    }

    // Holds the edit key over the spoken command and waits for the edit to end.
    void speakCommand() {
        ASSERT_TRUE(pipeline->beginEditing());
        ASSERT_TRUE(eventually([&] { return !pipeline->isStarting(); }));
        ASSERT_EQ(pipeline->state(), PipelineState::recording());
        clock->advance(3000);
        pipeline->finish(PipelineMode::editSelection);
        ASSERT_TRUE(eventually([&] { return pipeline->state().kind == PipelineState::Kind::idle; },
                               120000));
    }

    QString notes() const {
        QStringList lines;
        for (const auto& [title, body] : notifier->notes) {
            lines.append(title + u": "_s + body);
        }
        return lines.join(u'\n');
    }

    static inline std::vector<float>* s_speech = nullptr;
    TemporaryHome home;
    LocalHttpServer server;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    AccessibilityDesktop* desktop = nullptr;
    std::unique_ptr<FieldsProgram> program;
    std::shared_ptr<AtspiReader> reader;
    std::shared_ptr<CountingInjector> injector;
    std::shared_ptr<FakeNotifier> notifier;
    std::unique_ptr<Pipeline> pipeline;
};

TEST_P(EditInPlaceEndToEnd, ASpokenCommandReplacesTheSelectionWithTheGuardedRewrite) {
    startPipeline(u"Could you please send me the report by Friday?"_s);
    select(u"Notes 😀\nhey can you send me the report by friday\nThanks"_s, 8, 48);
    speakCommand();
    EXPECT_EQ(injector->injected, QStringList{u"Could you please send me the report by Friday?"_s})
        << notes().toStdString();
    // The program fetches the pasted text from the clipboard after the keystroke.
    const QString expected = u"Notes 😀\nCould you please send me the report by Friday?\nThanks"_s;
    EXPECT_TRUE(eventually([&] { return program->text(u"editor"_s) == expected; }))
        << program->text(u"editor"_s).value_or(u"(no answer)"_s).toStdString();
}

TEST_P(EditInPlaceEndToEnd, ARewriteTheGuardRefusesLeavesTheSelectionUntouched) {
    const QString original = u"Notes\nsend 25 copies to Alice by friday\nThanks"_s;
    startPipeline(u"Please send 30 copies to Bob by Friday."_s);
    select(original, 6, 39);
    speakCommand();
    EXPECT_TRUE(injector->injected.isEmpty());
    EXPECT_EQ(program->text(u"editor"_s), original);
    EXPECT_TRUE(notes().contains(u"Unsafe rewrite blocked"_s)) << notes().toStdString();
}

// The injector's gate asks the same reader: a password field never receives a paste.
TEST_P(EditInPlaceEndToEnd, TheInjectorRefusesToPasteIntoAPasswordField) {
    ASSERT_TRUE(program->focus(u"password"_s));
    ASSERT_TRUE(program->setText(u"password"_s, u"hunter2"_s));
    ASSERT_TRUE(eventually([&] { return reader->focusedFieldIsSecure() == std::optional(true); }));
    try {
        injector->inject(u"typed words"_s);
        ADD_FAILURE() << "the paste was not refused";
    } catch (const QuovantError& error) {
        EXPECT_EQ(error.kind(), QuovantError::Kind::secureTextSelected);
    }
    EXPECT_EQ(program->text(u"password"_s), u"hunter2"_s);
}

INSTANTIATE_TEST_SUITE_P(Toolkits, EditInPlaceEndToEnd,
                         ::testing::Values(FieldsProgram::Toolkit::gtk, FieldsProgram::Toolkit::qt),
                         [](const auto& info) {
                             return info.param == FieldsProgram::Toolkit::gtk ? "Gtk3" : "Qt6";
                         });

} // namespace
} // namespace quovant
