#include "app/desktop/onboarding/microphone_check.h"
#include "app/desktop/onboarding/onboarding_window.h"
#include "core/quovant_error.h"
#include "platform/linux/desktop/accessibility_bus.h"
#include "platform/linux/desktop/display_capabilities.h"
#include "platform/linux/desktop/sound_input_probe.h"
#include "support/desktop_peers.h"
#include "support/wait.h"
#include "support/accessibility_bus.h"
#include "support/pulse_server.h"

#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;
using quovant::AccessibilityBus;
using quovant::DisplayCapabilities;
using quovant::MicrophoneCheck;
using quovant::OnboardingWindow;
using quovant::PermissionModel;
using quovant::testing::SessionBus;

using quovant::testing::ScopedEnvironment;
using quovant::testing::settle;
using quovant::testing::waitUntil;

namespace {

// A capture at the port: produces chunks of a steady amplitude on a thread of its own between
// start and stop, or refuses to start.
class SteadyCapture final : public quovant::AudioCapturing {
public:
    explicit SteadyCapture(float amplitude, bool refuse = false)
        : m_amplitude(amplitude), m_refuse(refuse) {}
    ~SteadyCapture() override { stop(); }

    float currentLevel() const override { return 0; }
    quovant::AudioCaptureStatus lastCaptureStatus() const override {
        return quovant::AudioCaptureStatus::unknown;
    }
    void setVoiceProcessingEnabled(bool) override {}
    void prepare() override {}
    void warmUp(double) override {}
    void start(double sampleRate, bool) override {
        if (m_refuse) {
            throw quovant::QuovantError(quovant::QuovantError::Kind::noAudioInput);
        }
        ++starts;
        m_running = true;
        m_thread = std::thread([this, sampleRate] {
            while (m_running) {
                quovant::AudioChunk chunk;
                chunk.sampleRate = sampleRate;
                for (int i = 0; i < 320; ++i) {
                    chunk.samples.push_back(i % 2 == 0 ? m_amplitude : -m_amplitude);
                }
                if (onChunk) {
                    onChunk(chunk);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    void stop() override {
        m_running = false;
        if (m_thread.joinable()) {
            m_thread.join();
            ++stops;
        }
    }
    void writeRetainedAudio(const QString&) override {}

    int starts = 0;
    int stops = 0;

private:
    float m_amplitude;
    bool m_refuse;
    std::atomic<bool> m_running = false;
    std::thread m_thread;
};

// Probes whose answers the test sets, standing in for the desktop.
struct FakeDesktop {
    bool soundInput = false;
    DisplayCapabilities display;
    bool accessibilityBus = false;
    int probes = 0;
    AccessibilityBus::EnableResult enableResult{false, u"could not"_s};

    PermissionModel::Probes probesFor() {
        return {
            [this] {
                ++probes;
                return soundInput;
            },
            [this] { return display; },
            [this] { return accessibilityBus; },
            [this] {
                if (enableResult.enabled) {
                    accessibilityBus = true;
                }
                return enableResult;
            },
        };
    }
};

DisplayCapabilities fullX11() {
    return {false, true, true, true};
}

template <typename T> T* child(const OnboardingWindow& window, const QString& name) {
    T* found = window.window()->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name.toStdString();
    return found;
}

QString labelText(const OnboardingWindow& window, const QString& name) {
    QLabel* label = child<QLabel>(window, name);
    return label ? label->text() : QString();
}

} // namespace

TEST(PermissionModel, MicrophoneGrantedIsCalledOnceOnTheFirstPollThatSeesIt) {
    FakeDesktop desktop;
    PermissionModel model(desktop.probesFor());
    int granted = 0;
    model.onMicrophoneGranted = [&] { ++granted; };
    model.startPolling();
    EXPECT_EQ(desktop.probes, 1);
    EXPECT_FALSE(model.microphone());
    EXPECT_TRUE(model.isPolling());

    desktop.soundInput = true;
    ASSERT_TRUE(waitUntil([&] { return granted == 1; }));
    const int seen = desktop.probes;
    ASSERT_TRUE(waitUntil([&] { return desktop.probes >= seen + 2; }));
    EXPECT_EQ(granted, 1);
    EXPECT_TRUE(model.microphone());

    model.stopPolling();
    const int stopped = desktop.probes;
    settle(1600);
    EXPECT_EQ(desktop.probes, stopped);
}

TEST(PermissionModel, AllGrantedNeedsSoundKeysAndTheAccessibilityBus) {
    struct Case {
        bool sound;
        DisplayCapabilities display;
        bool bus;
        bool keys;
        bool all;
    };
    const Case cases[] = {
        {true, fullX11(), true, true, true},
        {false, fullX11(), true, true, false},
        {true, fullX11(), false, true, false},
        {true, {false, true, true, false}, true, false, false},
        {true, {false, true, false, true}, true, false, false},
        {true, {false, false, false, false}, true, false, false},
        // XWayland answers with both extensions, but global keys still cannot be watched.
        {true, {true, true, true, true}, true, false, false},
    };
    for (const Case& c : cases) {
        FakeDesktop desktop;
        desktop.soundInput = c.sound;
        desktop.display = c.display;
        desktop.accessibilityBus = c.bus;
        PermissionModel model(desktop.probesFor());
        model.refresh();
        EXPECT_EQ(model.keysAndTyping(), c.keys);
        EXPECT_EQ(model.allGranted(), c.all);
    }
}

TEST(OnboardingWindow, ShowingTwiceKeepsOneWindowAndRowsFollowTheDesktop) {
    FakeDesktop desktop;
    desktop.display = {false, true, true, false};
    OnboardingWindow onboarding(std::make_shared<SteadyCapture>(0.1f), desktop.probesFor());
    int granted = 0;
    onboarding.onMicrophoneGranted = [&] { ++granted; };
    EXPECT_EQ(onboarding.window(), nullptr);
    onboarding.show();
    QWidget* first = onboarding.window();
    ASSERT_NE(first, nullptr);
    onboarding.show();
    EXPECT_EQ(onboarding.window(), first);
    int windows = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        windows += widget->objectName() == u"QuovantOnboarding"_s && widget->isVisible();
    }
    EXPECT_EQ(windows, 1);
    EXPECT_EQ(first->windowTitle(), u"Welcome to Quovant"_s);
    EXPECT_EQ(first->size(), QSize(560, 640));
    EXPECT_TRUE(onboarding.model().isPolling());

    EXPECT_EQ(labelText(onboarding, u"microphoneTitle"_s), u"Microphone"_s);
    EXPECT_EQ(labelText(onboarding, u"keysTitle"_s), u"Keys and typing"_s);
    EXPECT_EQ(labelText(onboarding, u"accessibilityTitle"_s), u"Accessibility"_s);
    EXPECT_EQ(labelText(onboarding, u"microphoneStatus"_s), u"Missing"_s);
    EXPECT_EQ(labelText(onboarding, u"keysHint"_s),
              u"This X display lacks XTest, so keys can't be watched or text typed."_s);
    EXPECT_EQ(labelText(onboarding, u"footerText"_s), u"Waiting for permissions…"_s);
    auto* done = child<QPushButton>(onboarding, u"doneButton"_s);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(done->text(), u"Skip for now"_s);
    EXPECT_TRUE(done->isDefault());
    EXPECT_TRUE(child<QPushButton>(onboarding, u"restartButton"_s)->isVisibleTo(first));
    EXPECT_TRUE(child<QPushButton>(onboarding, u"accessibilityAction"_s)->isVisibleTo(first));
    EXPECT_FALSE(child<QPushButton>(onboarding, u"keysAction"_s)->isVisibleTo(first));

    // Everything arrives while the window is open: the next poll shows it.
    desktop.soundInput = true;
    desktop.display = fullX11();
    desktop.accessibilityBus = true;
    ASSERT_TRUE(waitUntil([&] { return done->text() == u"Done"_s; }));
    EXPECT_EQ(granted, 1);
    EXPECT_EQ(labelText(onboarding, u"footerText"_s),
              u"✓ Right Alt dictates · Right Ctrl structures prompts"_s);
    onboarding.setKeyNames(u"Right Super"_s, u"Right Alt"_s);
    EXPECT_EQ(labelText(onboarding, u"footerText"_s),
              u"✓ Right Super dictates · Right Alt structures prompts"_s);
    for (const QString& row : {u"microphone"_s, u"keys"_s, u"accessibility"_s}) {
        EXPECT_EQ(labelText(onboarding, row + u"Status"_s), u"✓ Granted"_s);
    }
    EXPECT_FALSE(child<QPushButton>(onboarding, u"restartButton"_s)->isVisibleTo(first));
    EXPECT_FALSE(child<QPushButton>(onboarding, u"accessibilityAction"_s)->isVisibleTo(first));

    done->click();
    EXPECT_FALSE(onboarding.isVisible());
    EXPECT_FALSE(onboarding.model().isPolling());

    // Shown again from the menu: the same window, polling again.
    onboarding.show();
    EXPECT_EQ(onboarding.window(), first);
    EXPECT_TRUE(onboarding.model().isPolling());
    first->close();
    EXPECT_FALSE(onboarding.model().isPolling());
}

TEST(OnboardingWindow, WaylandExplainsTheShortcutCommand) {
    FakeDesktop desktop;
    desktop.display = {true, true, true, true};
    OnboardingWindow onboarding(nullptr, desktop.probesFor());
    onboarding.show();
    const QString detail = labelText(onboarding, u"keysDetail"_s);
    EXPECT_TRUE(detail.contains(u"quovant toggle"_s));
    EXPECT_TRUE(detail.contains(u"Wayland"_s));
    EXPECT_TRUE(labelText(onboarding, u"keysStatus"_s).isEmpty());
    auto* copy = child<QPushButton>(onboarding, u"keysAction"_s);
    ASSERT_TRUE(copy->isVisibleTo(onboarding.window()));
    copy->click();
    if (QGuiApplication::clipboard()->supportsSelection() || QGuiApplication::platformName() != u"offscreen"_s) {
        EXPECT_EQ(QGuiApplication::clipboard()->text(), u"quovant toggle"_s);
    }
    onboarding.close();
}

TEST(OnboardingWindow, AccessibilityButtonTurnsTheBusOnOrSaysHow) {
    FakeDesktop desktop;
    desktop.soundInput = true;
    desktop.display = fullX11();
    desktop.enableResult = {false, u"Quovant could not turn on the accessibility bus. "_s +
                                       AccessibilityBus::manualInstructions()};
    OnboardingWindow onboarding(nullptr, desktop.probesFor());
    int restarts = 0;
    onboarding.onRestartRequested = [&] { ++restarts; };
    onboarding.show();
    auto* action = child<QPushButton>(onboarding, u"accessibilityAction"_s);
    EXPECT_EQ(action->text(), u"Turn On Accessibility"_s);
    action->click();
    const QString hint = labelText(onboarding, u"accessibilityHint"_s);
    EXPECT_TRUE(hint.startsWith(u"Quovant could not turn on the accessibility bus."_s));
    EXPECT_TRUE(hint.contains(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"_s));
    EXPECT_TRUE(hint.contains(u"toolkit-accessibility"_s));
    child<QPushButton>(onboarding, u"restartButton"_s)->click();
    EXPECT_EQ(restarts, 1);

    desktop.enableResult = {true, {}};
    action->click();
    EXPECT_EQ(labelText(onboarding, u"accessibilityStatus"_s), u"✓ Granted"_s);
    EXPECT_TRUE(labelText(onboarding, u"accessibilityHint"_s).isEmpty());
    EXPECT_EQ(child<QPushButton>(onboarding, u"doneButton"_s)->text(), u"Done"_s);
    onboarding.close();
}

TEST(OnboardingWindow, MicrophoneTestRecordsOneSecondAndShowsTheLevel) {
    struct Case {
        std::shared_ptr<SteadyCapture> capture;
        bool busy;
        QString message;
        bool levelShown;
    };
    const Case cases[] = {
        {std::make_shared<SteadyCapture>(0.1f), false, u"Heard sound, loudest at −20 dB."_s, true},
        {std::make_shared<SteadyCapture>(0.0f), false,
         u"Only silence arrived. Check that the right input is chosen and not muted."_s, false},
        {std::make_shared<SteadyCapture>(0.1f, true), false,
         u"The microphone could not start: "_s +
             quovant::QuovantError(quovant::QuovantError::Kind::noAudioInput).description(),
         false},
        {std::make_shared<SteadyCapture>(0.1f), true,
         u"Quovant is recording right now; try again in a moment."_s, false},
    };
    for (const Case& c : cases) {
        FakeDesktop desktop;
        desktop.soundInput = true;
        OnboardingWindow onboarding(c.capture, desktop.probesFor());
        onboarding.captureBusy = [&] { return c.busy; };
        onboarding.show();
        auto* test = child<QPushButton>(onboarding, u"microphoneAction"_s);
        EXPECT_EQ(test->text(), u"Test Microphone"_s);
        test->click();
        ASSERT_TRUE(waitUntil([&] {
            return labelText(onboarding, u"microphoneHint"_s) == c.message;
        })) << labelText(onboarding, u"microphoneHint"_s).toStdString();
        EXPECT_TRUE(test->isEnabled());
        EXPECT_EQ(child<QWidget>(onboarding, u"microphoneLevel"_s)->isVisibleTo(onboarding.window()),
                  c.levelShown);
        // The capture is stopped and its chunk callback given back.
        EXPECT_EQ(c.capture->starts, c.capture->stops);
        EXPECT_FALSE(c.capture->onChunk);
        EXPECT_EQ(c.capture->starts, c.busy || c.message.contains(u"could not start"_s) ? 0 : 1);
        onboarding.close();
    }
}

TEST(MicrophoneCheck, DescribesWhatArrived) {
    EXPECT_EQ(MicrophoneCheck::describe(0, 0).message,
              u"No sound arrived from the input source in one second."_s);
    EXPECT_FALSE(MicrophoneCheck::describe(50, 0.0001).heardSound);
    const auto loud = MicrophoneCheck::describe(50, 1.0);
    EXPECT_TRUE(loud.heardSound);
    EXPECT_EQ(loud.message, u"Heard sound, loudest at 0 dB."_s);
    EXPECT_FALSE(MicrophoneCheck::describe(50, NAN).heardSound);
}

TEST(DesktopProbes, DisplayCapabilitiesOfARealXServer) {
    {
        ScopedEnvironment display("DISPLAY", std::nullopt);
        ScopedEnvironment session("XDG_SESSION_TYPE", u"x11"_s);
        const DisplayCapabilities none = DisplayCapabilities::probe();
        EXPECT_FALSE(none.displayReachable);
        EXPECT_FALSE(none.keysAndTyping());
        EXPECT_EQ(none.missingExtensions(), u"XInput 2.1 and XTest"_s);
    }
    quovant::testing::XvfbServer xvfb;
    ASSERT_TRUE(xvfb.running());
    {
        ScopedEnvironment session("XDG_SESSION_TYPE", u"x11"_s);
        const DisplayCapabilities x11 = DisplayCapabilities::probe();
        EXPECT_TRUE(x11.displayReachable);
        EXPECT_TRUE(x11.xinput21);
        EXPECT_TRUE(x11.xtest);
        EXPECT_TRUE(x11.keysAndTyping());
    }
    {
        ScopedEnvironment session("XDG_SESSION_TYPE", u"wayland"_s);
        const DisplayCapabilities wayland = DisplayCapabilities::probe();
        EXPECT_TRUE(wayland.waylandSession);
        EXPECT_TRUE(wayland.displayReachable);
        EXPECT_FALSE(wayland.keysAndTyping());
    }
}

TEST(DesktopProbes, WithoutALauncherTheAccessibilityBusCannotBeTurnedOn) {
    SessionBus bus;
    ASSERT_TRUE(bus.running());
    ScopedEnvironment desktop("XDG_CURRENT_DESKTOP", std::nullopt);
    QDBusConnection connection =
        QDBusConnection::connectToBus(bus.address(), u"a11y-probe@"_s + bus.address());
    ASSERT_TRUE(connection.isConnected());
    AccessibilityBus accessibility(connection);
    EXPECT_FALSE(accessibility.isEnabled());
    const AccessibilityBus::EnableResult refused = accessibility.enable();
    EXPECT_FALSE(refused.enabled);
    EXPECT_TRUE(refused.message.startsWith(u"Quovant could not turn on the accessibility bus: "_s));
    EXPECT_TRUE(refused.message.endsWith(AccessibilityBus::manualInstructions()));
}

TEST(DesktopProbes, SoundInputNeedsAServerWithADefaultSource) {
    {
        QTemporaryDir nowhere;
        ScopedEnvironment server("PULSE_SERVER", u"unix:"_s + nowhere.filePath(u"none"_s));
        const auto probe = quovant::SoundInputProbe::probe();
        EXPECT_FALSE(probe.serverReachable);
        EXPECT_FALSE(probe.available());
    }
    quovant::testing::PulseServer server;
    ASSERT_TRUE(server.running()) << server.failure().toStdString();
    const auto empty = quovant::SoundInputProbe::probe(5000);
    EXPECT_TRUE(empty.serverReachable);
    EXPECT_FALSE(empty.available());

    ASSERT_TRUE(server.loadSineSource(u"mic"_s, 16000, 440).has_value());
    ASSERT_TRUE(server.setDefaultSource(u"mic"_s));
    const auto ready = quovant::SoundInputProbe::probe(5000);
    EXPECT_TRUE(ready.available());
    EXPECT_EQ(ready.defaultSource, u"mic"_s);
}

// Pictures of the first-run window for the documentation, written when QUOVANT_SCREENSHOT_DIR
// is set (run under Xvfb with QT_QPA_PLATFORM=xcb).
TEST(OnboardingWindow, Screenshots) {
    const QString folder = qEnvironmentVariable("QUOVANT_SCREENSHOT_DIR");
    if (folder.isEmpty()) {
        GTEST_SKIP() << "QUOVANT_SCREENSHOT_DIR not set";
    }
    QDir().mkpath(folder);
    struct Shot {
        QString name;
        bool sound;
        DisplayCapabilities display;
        bool bus;
        bool testMicrophone;
    };
    const Shot shots[] = {
        {u"onboarding-first-run"_s, true, fullX11(), false, true},
        {u"onboarding-all-granted"_s, true, fullX11(), true, false},
        {u"onboarding-wayland"_s, false, {true, true, true, true}, false, false},
    };
    for (const Shot& shot : shots) {
        FakeDesktop desktop;
        desktop.soundInput = shot.sound;
        desktop.display = shot.display;
        desktop.accessibilityBus = shot.bus;
        desktop.enableResult = {false, u"Quovant could not turn on the accessibility bus. "_s +
                                           AccessibilityBus::manualInstructions()};
        OnboardingWindow onboarding(std::make_shared<SteadyCapture>(0.08f), desktop.probesFor());
        onboarding.show();
        ASSERT_TRUE(waitUntil([&] { return onboarding.window()->isVisible(); }));
        if (shot.testMicrophone) {
            child<QPushButton>(onboarding, u"microphoneAction"_s)->click();
            ASSERT_TRUE(waitUntil([&] {
                return labelText(onboarding, u"microphoneHint"_s).startsWith(u"Heard"_s);
            }));
            child<QPushButton>(onboarding, u"accessibilityAction"_s)->click();
        }
        settle(300);
        EXPECT_TRUE(onboarding.window()->grab().save(folder + u'/' + shot.name + u".png"_s));
        onboarding.close();
    }
}

TEST(DesktopProbes, AccessibilityBusOfTheRealLauncher) {
    quovant::testing::AccessibilityBus launcher;
    ASSERT_TRUE(launcher.running());
    ScopedEnvironment desktop("XDG_CURRENT_DESKTOP", std::nullopt);
    QDBusConnection connection = QDBusConnection::connectToBus(
        launcher.sessionAddress(), u"a11y-launcher@"_s + launcher.sessionAddress());
    AccessibilityBus accessibility(connection);
    ASSERT_TRUE(launcher.setEnabled(false));
    EXPECT_FALSE(accessibility.isEnabled());
    const AccessibilityBus::EnableResult result = accessibility.enable();
    EXPECT_TRUE(result.enabled) << result.message.toStdString();
    EXPECT_TRUE(accessibility.isEnabled());
}
