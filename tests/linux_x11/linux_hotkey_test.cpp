#include "linux_x11/x11_fixture.h"

#include "platform/linux/x11/linux_hotkey.h"
#include "platform/linux/x11/linux_text_injector.h"
#include "platform/linux/x11/push_to_talk_detector.h"

#include <QThread>

using namespace quovant;
using namespace quovant::testing;
using Action = PushToTalkDetector::Action;

namespace {

constexpr int kRightAlt = 108, kRightSuper = 134, kRightCtrl = 105;
constexpr int kLeftAlt = 64, kLeftSuper = 133, kLeftCtrl = 37;
constexpr int kShiftL = 50, kKeyA = 38;

TEST(PushToTalkDetectorTest, DecidesEachEventOfAHold) {
    struct Step {
        PushToTalkDetector::KeyEvent event;
        Action expected;
    };
    const auto key = [](int keycode, bool down, bool modifier = false, bool repeat = false) {
        return PushToTalkDetector::KeyEvent{keycode, down, repeat, modifier};
    };
    const std::vector<std::pair<const char*, std::vector<Step>>> cases{
        {"hold and release",
         {{key(kRightAlt, true), Action::press}, {key(kRightAlt, false), Action::release}}},
        {"the left twin never triggers",
         {{key(kLeftAlt, true, true), Action::none}, {key(kLeftAlt, false, true), Action::none}}},
        {"a repeated down is still one press",
         {{key(kRightAlt, true), Action::press},
          {key(kRightAlt, true, false, true), Action::none},
          {key(kRightAlt, false), Action::release}}},
        {"other modifiers during the hold change nothing",
         {{key(kRightAlt, true), Action::press},
          {key(kShiftL, true, true), Action::none},
          {key(kShiftL, false, true), Action::none},
          {key(kRightAlt, false), Action::release}}},
        {"typing during the hold cancels it and the rest of it",
         {{key(kRightAlt, true), Action::press},
          {key(kKeyA, true), Action::cancel},
          {key(kKeyA, false), Action::none},
          {key(kKeyA, true), Action::none},
          {key(kRightAlt, false), Action::none},
          {key(kRightAlt, true), Action::press}}},
        {"a key already down before the hold does not cancel on its release",
         {{key(kKeyA, true), Action::none},
          {key(kRightAlt, true), Action::press},
          {key(kKeyA, false), Action::none},
          {key(kRightAlt, false), Action::release}}},
        {"a release without a press is ignored", {{key(kRightAlt, false), Action::none}}},
    };
    for (const auto& [name, steps] : cases) {
        PushToTalkDetector detector(PushToTalkKey::rightOption);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            EXPECT_EQ(detector.handle(steps[i].event), steps[i].expected)
                << name << ", step " << i;
        }
    }
}

TEST(PushToTalkDetectorTest, ForcedReleaseAndKeyChange) {
    PushToTalkDetector detector(PushToTalkKey::fn);
    EXPECT_EQ(detector.forceRelease(), Action::none);
    detector.handle({kRightCtrl, true, false, true});
    EXPECT_EQ(detector.forceRelease(), Action::release);
    EXPECT_FALSE(detector.isDown());

    detector.handle({kRightCtrl, true, false, true});
    detector.handle({kKeyA, true, false, false});
    EXPECT_TRUE(detector.isDown());
    EXPECT_EQ(detector.forceRelease(), Action::none) << "a cancelled hold ends without a release";

    detector.handle({kRightCtrl, true, false, true});
    detector.setKey(PushToTalkKey::rightCommand);
    EXPECT_FALSE(detector.isDown());
    EXPECT_EQ(detector.handle({kRightCtrl, false, false, true}), Action::none);
    EXPECT_EQ(detector.handle({kRightSuper, true, false, true}), Action::press);
}

struct Counts {
    int presses = 0;
    int releases = 0;
    int cancels = 0;
    bool offMainThread = false;
};

class LinuxHotkeyTest : public X11Suite {
protected:
    std::unique_ptr<LinuxHotkey> makeHotkey(PushToTalkKey key, Counts& counts) {
        auto hotkey = std::make_unique<LinuxHotkey>(key);
        auto check = [&counts] {
            if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
                counts.offMainThread = true;
            }
        };
        hotkey->onPress = [&counts, check] {
            check();
            ++counts.presses;
        };
        hotkey->onRelease = [&counts, check] {
            check();
            ++counts.releases;
        };
        hotkey->onCancel = [&counts, check] {
            check();
            ++counts.cancels;
        };
        return hotkey;
    }

    XClient m_keys;
};

TEST_F(LinuxHotkeyTest, EachKeyGivesOnePressAndOneReleaseOnTheMainThread) {
    ASSERT_TRUE(m_keys.connected());
    for (const auto& [key, keycode] : {std::pair{PushToTalkKey::rightOption, kRightAlt},
                                       std::pair{PushToTalkKey::rightCommand, kRightSuper},
                                       std::pair{PushToTalkKey::fn, kRightCtrl}}) {
        Counts counts;
        auto hotkey = makeHotkey(key, counts);
        ASSERT_TRUE(hotkey->start());
        m_keys.key(keycode, true);
        ASSERT_TRUE(waitUntil([&] { return counts.presses == 1; })) << keycode;
        m_keys.key(keycode, false);
        ASSERT_TRUE(waitUntil([&] { return counts.releases == 1; })) << keycode;
        settle(100);
        EXPECT_EQ(counts.presses, 1);
        EXPECT_EQ(counts.releases, 1);
        EXPECT_FALSE(counts.offMainThread);
    }
}

TEST_F(LinuxHotkeyTest, LeftHandTwinsNeverTrigger) {
    for (const auto& [key, twin, keycode] :
         {std::tuple{PushToTalkKey::rightOption, kLeftAlt, kRightAlt},
          std::tuple{PushToTalkKey::rightCommand, kLeftSuper, kRightSuper},
          std::tuple{PushToTalkKey::fn, kLeftCtrl, kRightCtrl}}) {
        Counts counts;
        auto hotkey = makeHotkey(key, counts);
        ASSERT_TRUE(hotkey->start());
        m_keys.tap(twin);
        // The watched key afterwards: once its press is seen, the twin's events were handled.
        m_keys.key(keycode, true);
        ASSERT_TRUE(waitUntil([&] { return counts.presses == 1; }));
        m_keys.key(keycode, false);
        ASSERT_TRUE(waitUntil([&] { return counts.releases == 1; }));
        EXPECT_EQ(counts.presses, 1) << twin;
    }
}

TEST_F(LinuxHotkeyTest, TypingDuringAHoldCancelsItQuietly) {
    Counts counts;
    auto hotkey = makeHotkey(PushToTalkKey::rightOption, counts);
    ASSERT_TRUE(hotkey->start());
    m_keys.key(kRightAlt, true);
    m_keys.tap(kShiftL);
    m_keys.tap(kKeyA);
    m_keys.key(kRightAlt, false);
    ASSERT_TRUE(waitUntil([&] { return counts.cancels == 1; }));
    // The next hold is an ordinary one again.
    m_keys.key(kRightAlt, true);
    m_keys.key(kRightAlt, false);
    ASSERT_TRUE(waitUntil([&] { return counts.releases == 1; }));
    EXPECT_EQ(counts.presses, 2);
    EXPECT_EQ(counts.cancels, 1);
}

TEST_F(LinuxHotkeyTest, UpdateKeyWhileHeldForgetsTheHoldWithoutARelease) {
    Counts counts;
    auto hotkey = makeHotkey(PushToTalkKey::rightOption, counts);
    ASSERT_TRUE(hotkey->start());
    m_keys.key(kRightAlt, true);
    ASSERT_TRUE(waitUntil([&] { return counts.presses == 1; }));
    hotkey->updateKey(PushToTalkKey::fn);
    m_keys.key(kRightAlt, false);
    m_keys.key(kRightCtrl, true);
    ASSERT_TRUE(waitUntil([&] { return counts.presses == 2; }));
    m_keys.key(kRightCtrl, false);
    ASSERT_TRUE(waitUntil([&] { return counts.releases == 1; }));
    settle(1200);
    EXPECT_EQ(counts.releases, 1);
}

TEST_F(LinuxHotkeyTest, ALongHoldIsOnePressAndOneRelease) {
    Counts counts;
    auto hotkey = makeHotkey(PushToTalkKey::rightCommand, counts);
    ASSERT_TRUE(hotkey->start());
    m_keys.key(kRightSuper, true);
    ASSERT_TRUE(waitUntil([&] { return counts.presses == 1; }));
    // Ten seconds of watchdog checks while the key is physically held.
    settle(10000);
    EXPECT_EQ(counts.releases, 0);
    m_keys.key(kRightSuper, false);
    ASSERT_TRUE(waitUntil([&] { return counts.releases == 1; }));
    settle(300);
    EXPECT_EQ(counts.presses, 1);
    EXPECT_EQ(counts.releases, 1);
}

TEST_F(LinuxHotkeyTest, WatchdogRecoversAKeyUpLostWithTheListenerConnection) {
    Counts counts;
    auto hotkey = makeHotkey(PushToTalkKey::fn, counts);
    ASSERT_TRUE(hotkey->start());
    m_keys.key(kRightCtrl, true);
    ASSERT_TRUE(waitUntil([&] { return counts.presses == 1; }));
    const auto listener = m_keys.findWindowNamed("com.quovant.hotkey");
    ASSERT_TRUE(listener);
    m_keys.killClientOf(*listener);
    ASSERT_TRUE(waitUntil([&] { return !hotkey->isRunning(); }));
    m_keys.key(kRightCtrl, false);
    ASSERT_TRUE(waitUntil([&] { return counts.releases == 1; }));
    EXPECT_EQ(counts.presses, 1);

    // A lost connection is not final: arming again watches the key again.
    ASSERT_TRUE(hotkey->start());
    m_keys.tap(kRightCtrl);
    ASSERT_TRUE(waitUntil([&] { return counts.releases == 2; }));
    EXPECT_EQ(counts.presses, 2);
}

TEST_F(LinuxHotkeyTest, OurOwnPasteKeystrokesNeverReachTheHotkeys) {
    PasteTarget target;
    ASSERT_TRUE(target.ready()) << target.errors().toStdString();
    Counts alt, ctrl, super;
    auto altKey = makeHotkey(PushToTalkKey::rightOption, alt);
    auto ctrlKey = makeHotkey(PushToTalkKey::fn, ctrl);
    auto superKey = makeHotkey(PushToTalkKey::rightCommand, super);
    ASSERT_TRUE(altKey->start());
    ASSERT_TRUE(ctrlKey->start());
    ASSERT_TRUE(superKey->start());
    LinuxTextInjector injector;

    // The user still holds the key when the text goes out: the injector lifts it for Ctrl+V and
    // puts it back, and none of that is a press or release of the user's.
    m_keys.key(kRightAlt, true);
    ASSERT_TRUE(waitUntil([&] { return alt.presses == 1; }));
    injector.inject(QStringLiteral("held"));
    ASSERT_TRUE(target.waitForText("line", QStringLiteral("held")));
    settle(1500);
    EXPECT_EQ(alt.releases, 0);
    m_keys.key(kRightAlt, false);
    ASSERT_TRUE(waitUntil([&] { return alt.releases == 1; }));

    injector.inject(QStringLiteral(" free"));
    ASSERT_TRUE(target.waitForText("line", QStringLiteral("held free")));
    settle(300);
    EXPECT_EQ(alt.presses, 1);
    EXPECT_EQ(alt.cancels, 0);
    for (const Counts* counts : {&ctrl, &super}) {
        EXPECT_EQ(counts->presses, 0);
        EXPECT_EQ(counts->releases, 0);
    }
}

TEST(LinuxHotkeyWithoutDisplayTest, StartAnswersFalse) {
    const QByteArray previous = qgetenv("DISPLAY");
    qputenv("DISPLAY", ":4242");
    LinuxHotkey hotkey(PushToTalkKey::rightOption);
    EXPECT_FALSE(hotkey.start());
    EXPECT_FALSE(hotkey.isRunning());
    qputenv("DISPLAY", previous);
}

} // namespace
