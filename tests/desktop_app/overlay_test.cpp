#include "app/desktop/overlay/recording_overlay.h"
#include "app/desktop/resources/desktop_resources.h"
#include "support/desktop_peers.h"
#include "support/wait.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QLineEdit>
#include <QProcess>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cmath>

using namespace Qt::StringLiterals;
using quovant::MeterModel;
using quovant::PipelineMode;
using quovant::PipelineState;
using quovant::RecordingOverlay;

using quovant::testing::settle;
using quovant::testing::waitUntil;

namespace {

// Paints the overlay `times` times, as the meter timer's redraws would.
void repaint(const RecordingOverlay& overlay, int times) {
    for (int i = 0; i < times; ++i) {
        overlay.window()->repaint();
    }
}

} // namespace

TEST(MeterModel, TargetsFollowWeightsGainAndClamp) {
    struct Case {
        double level;
        bool active;
        std::array<double, 5> expected;
    };
    const Case cases[] = {
        {0.5, true, {0.36, 0.64, 0.8, 0.6, 0.32}},
        {1 / 1.6, true, {0.45, 0.8, 1.0, 0.75, 0.4}},
        {1.0, true, {0.72, 1.0, 1.0, 1.0, 0.64}},
        {0.1, true, {0.15, 0.15, 0.16, 0.15, 0.15}},
        {0.0, true, {0.15, 0.15, 0.15, 0.15, 0.15}},
        {-3.0, true, {0.15, 0.15, 0.15, 0.15, 0.15}},
        {NAN, true, {0.15, 0.15, 0.15, 0.15, 0.15}},
        {INFINITY, true, {0.15, 0.15, 0.15, 0.15, 0.15}},
        {0.9, false, {0.15, 0.15, 0.15, 0.15, 0.15}},
    };
    for (const Case& c : cases) {
        for (int bar = 0; bar < 5; ++bar) {
            EXPECT_NEAR(MeterModel::targetFraction(bar, c.level, c.active), c.expected[bar], 1e-9)
                << "level " << c.level << " active " << c.active << " bar " << bar;
        }
    }
}

TEST(MeterModel, SmoothingConvergesAndDecaysToTheFloor) {
    MeterModel meter;
    meter.step(0.5, true);
    EXPECT_NEAR(meter.smoothed()[2], 0.15 + (0.8 - 0.15) * 0.45, 1e-12);
    EXPECT_NEAR(meter.smoothed()[0], 0.15 + (0.36 - 0.15) * 0.45, 1e-12);
    for (int i = 0; i < 60; ++i) {
        meter.step(0.5, true);
    }
    EXPECT_NEAR(meter.smoothed()[2], 0.8, 1e-9);
    EXPECT_NEAR(meter.smoothed()[0], 0.36, 1e-9);
    EXPECT_NEAR(meter.smoothed()[4], 0.32, 1e-9);

    // Inactive: every bar falls toward 0.15 without overshooting it.
    double previous = meter.smoothed()[2];
    for (int i = 0; i < 60; ++i) {
        meter.step(0.5, false);
        EXPECT_LT(meter.smoothed()[2], previous);
        EXPECT_GT(meter.smoothed()[2], 0.15);
        previous = meter.smoothed()[2];
    }
    EXPECT_NEAR(previous, 0.15, 1e-9);

    // A non-finite level never poisons the bars.
    meter.step(NAN, true);
    for (double bar : meter.smoothed()) {
        EXPECT_TRUE(std::isfinite(bar));
    }
}

TEST(MeterModel, BarsAreLaidOutInTheMeterRectangle) {
    MeterModel meter;
    // At rest: 0.15 × 16 = 2.4 is raised to the 3-point minimum, centred.
    auto bars = meter.bars(40, 16);
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR(bars[i].x(), 8.6 * i, 1e-9);
        EXPECT_NEAR(bars[i].width(), 5.6, 1e-9);
        EXPECT_NEAR(bars[i].height(), 3.0, 1e-9);
        EXPECT_NEAR(bars[i].y(), 6.5, 1e-9);
    }
    for (int i = 0; i < 80; ++i) {
        meter.step(1.0, true);
    }
    bars = meter.bars(40, 16);
    EXPECT_NEAR(bars[2].height(), 16, 1e-6);
    EXPECT_NEAR(bars[2].y(), 0, 1e-6);
    EXPECT_NEAR(bars[0].height(), 0.72 * 16, 1e-6);
    EXPECT_NEAR(bars[4].right(), 40, 1e-9);
}

TEST(RecordingOverlay, TextsAndColoursByStateAndMode) {
    struct Case {
        PipelineState state;
        PipelineMode mode;
        QString text;
    };
    const Case cases[] = {
        {PipelineState::recording(), PipelineMode::dictation, u"Listening"_s},
        {PipelineState::recording(), PipelineMode::editSelection, u"Say edit command"_s},
        {PipelineState::recording(), PipelineMode::developerPrompt, u"Describe the task"_s},
        {PipelineState::thinking(), PipelineMode::dictation, u"Thinking…"_s},
        {PipelineState::thinking(), PipelineMode::editSelection, u"Rewriting…"_s},
        {PipelineState::thinking(), PipelineMode::developerPrompt, u"Structuring…"_s},
        {PipelineState::error(u"No speech was detected."_s), PipelineMode::developerPrompt,
         u"No speech was detected."_s},
    };
    RecordingOverlay overlay;
    for (const Case& c : cases) {
        overlay.show(c.state, c.mode);
        EXPECT_EQ(overlay.text(), c.text);
        EXPECT_EQ(overlay.textColor(), RecordingOverlay::textColorFor(c.state.kind));
        EXPECT_EQ(overlay.accentColor(), RecordingOverlay::accentColorFor(c.mode));
        EXPECT_EQ(overlay.meterActive(), c.state.kind == PipelineState::Kind::recording);
        EXPECT_TRUE(overlay.isVisible());
        EXPECT_TRUE(overlay.meterRunning());
    }
    // Three different mode colours, and distinct colours for primary, secondary and error text.
    EXPECT_NE(RecordingOverlay::accentColorFor(PipelineMode::dictation),
              RecordingOverlay::accentColorFor(PipelineMode::editSelection));
    EXPECT_NE(RecordingOverlay::accentColorFor(PipelineMode::editSelection),
              RecordingOverlay::accentColorFor(PipelineMode::developerPrompt));
    EXPECT_NE(RecordingOverlay::textColorFor(PipelineState::Kind::recording),
              RecordingOverlay::textColorFor(PipelineState::Kind::thinking));
    EXPECT_NE(RecordingOverlay::textColorFor(PipelineState::Kind::error),
              RecordingOverlay::noticeColor());

    overlay.show(PipelineState::idle(), PipelineMode::dictation);
    EXPECT_FALSE(overlay.isVisible());
    EXPECT_FALSE(overlay.meterRunning());
}

TEST(RecordingOverlay, PlacedAtTheBottomCentreOfTheScreenArea) {
    EXPECT_EQ(RecordingOverlay::placement(QRect(0, 0, 1280, 800)), QPoint(556, 660));
    // A second display to the right, with a panel taking 40 px at its bottom.
    EXPECT_EQ(RecordingOverlay::placement(QRect(1280, 0, 1920, 1040)), QPoint(2156, 900));
    // A display above the first one (negative coordinates).
    EXPECT_EQ(RecordingOverlay::placement(QRect(0, -1080, 1920, 1080)), QPoint(876, -140));
}

TEST(RecordingOverlay, WindowIsAnOnTopClickThroughToolWindowAtItsPlace) {
    RecordingOverlay overlay;
    QWidget* window = overlay.window();
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::Tool));
    EXPECT_TRUE(flags.testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_TRUE(flags.testFlag(Qt::WindowTransparentForInput));
    EXPECT_TRUE(window->testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_TRUE(window->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_FALSE(overlay.isVisible());

    overlay.show(PipelineState::recording(), PipelineMode::dictation);
    ASSERT_TRUE(waitUntil([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }));
    EXPECT_EQ(window->size(), QSize(168, 44));
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    EXPECT_EQ(window->pos(), RecordingOverlay::placement(screen->availableGeometry()));

}

TEST(RecordingOverlay, FlashShowsBodyOrTitleInOrangeAndHidesItself) {
    RecordingOverlay overlay;
    overlay.show(PipelineState::recording(), PipelineMode::dictation);
    overlay.flash(u"Copied"_s, QString());
    EXPECT_EQ(overlay.text(), u"Copied"_s);
    EXPECT_EQ(overlay.textColor(), RecordingOverlay::noticeColor());
    EXPECT_FALSE(overlay.meterActive());
    overlay.flash(u"Couldn't paste"_s, u"The text is on your clipboard."_s);
    EXPECT_EQ(overlay.text(), u"The text is on your clipboard."_s);
    EXPECT_TRUE(overlay.noticePending());
    overlay.hide();

    // Two notices 1 s apart: visible until 3.5 s after the second. Timers never fire early, so
    // only the lower bound is checked.
    overlay.flash(u"First"_s, u"one"_s);
    QElapsedTimer sinceFirst;
    sinceFirst.start();
    ASSERT_FALSE(waitUntil([&] { return !overlay.isVisible(); }, 1000));
    overlay.flash(u"Second"_s, u"two"_s);
    QElapsedTimer sinceSecond;
    sinceSecond.start();
    ASSERT_TRUE(waitUntil([&] { return !overlay.isVisible(); }, 20000));
    EXPECT_GE(sinceSecond.elapsed(), 3490);
    EXPECT_FALSE(overlay.meterRunning());
}

TEST(RecordingOverlay, ARecordingIsNotHiddenByAnEarlierNotice) {
    RecordingOverlay overlay;
    overlay.flash(u"Retained data deleted"_s, u"History and saved recordings were removed."_s);
    overlay.show(PipelineState::recording(), PipelineMode::dictation);
    EXPECT_FALSE(overlay.noticePending());
    EXPECT_TRUE(overlay.isVisible());
    EXPECT_EQ(overlay.text(), u"Listening"_s);
}

TEST(RecordingOverlay, MeterFollowsTheLevelWhileRecordingAndSettlesWhileThinking) {
    RecordingOverlay overlay;
    float level = 0.5f;
    overlay.levelProvider = [&] { return level; };
    overlay.show(PipelineState::recording(), PipelineMode::developerPrompt);
    // The timer reads the level; each paint advances the smoothing.
    ASSERT_TRUE(waitUntil([&] { return overlay.meter().smoothed()[2] > 0.7; }));
    repaint(overlay, 60);
    EXPECT_NEAR(overlay.meter().smoothed()[2], 0.8, 1e-6);
    EXPECT_NEAR(overlay.meter().smoothed()[0], 0.36, 1e-6);
    EXPECT_NEAR(overlay.meter().smoothed()[4], 0.32, 1e-6);

    // The bars in the picture have the prompt mode's colour and the middle one's height.
    QImage image = overlay.window()->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const double scale = double(image.width()) / 168;
    const QColor accent = RecordingOverlay::accentColorFor(PipelineMode::developerPrompt);
    const QColor middle = image.pixelColor(int((14 + 2 * 8.6 + 2.8) * scale), int(22 * scale));
    EXPECT_EQ(middle.rgb(), accent.rgb());
    // 0.8 × 16 = 12.8 points tall around y = 22: 1.5 points above its top is background.
    const QColor above = image.pixelColor(int((14 + 2 * 8.6 + 2.8) * scale),
                                          int((22 - 6.4 - 1.5) * scale));
    EXPECT_NE(above.rgb(), accent.rgb());

    overlay.show(PipelineState::thinking(), PipelineMode::developerPrompt);
    repaint(overlay, 80);
    for (double bar : overlay.meter().smoothed()) {
        EXPECT_NEAR(bar, 0.15, 1e-6);
    }
    image = overlay.window()->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_NE(image.pixelColor(int((14 + 2 * 8.6 + 2.8) * scale), int(22 * scale)).rgb(),
              accent.rgb());
}

// Pictures of every state for the documentation, written when QUOVANT_SCREENSHOT_DIR is set
// (run under Xvfb with QT_QPA_PLATFORM=xcb for the whole screen).
TEST(RecordingOverlay, Screenshots) {
    const QString folder = qEnvironmentVariable("QUOVANT_SCREENSHOT_DIR");
    if (folder.isEmpty()) {
        GTEST_SKIP() << "QUOVANT_SCREENSHOT_DIR not set";
    }
    RecordingOverlay overlay;
    float level = 0.55f;
    overlay.levelProvider = [&] { return level; };
    struct Shot {
        QString name;
        std::function<void()> apply;
    };
    const Shot shots[] = {
        {u"overlay-recording-dictation"_s,
         [&] { overlay.show(PipelineState::recording(), PipelineMode::dictation); }},
        {u"overlay-recording-edit"_s,
         [&] { overlay.show(PipelineState::recording(), PipelineMode::editSelection); }},
        {u"overlay-recording-prompt"_s,
         [&] { overlay.show(PipelineState::recording(), PipelineMode::developerPrompt); }},
        {u"overlay-thinking-dictation"_s,
         [&] { overlay.show(PipelineState::thinking(), PipelineMode::dictation); }},
        {u"overlay-thinking-edit"_s,
         [&] { overlay.show(PipelineState::thinking(), PipelineMode::editSelection); }},
        {u"overlay-thinking-prompt"_s,
         [&] { overlay.show(PipelineState::thinking(), PipelineMode::developerPrompt); }},
        {u"overlay-error"_s,
         [&] {
             overlay.show(PipelineState::error(u"No speech was detected."_s),
                          PipelineMode::dictation);
         }},
        {u"overlay-notice"_s,
         [&] { overlay.flash(u"Couldn’t paste"_s, u"The text is on your clipboard."_s); }},
    };
    QDir().mkpath(folder);
    for (const Shot& shot : shots) {
        shot.apply();
        ASSERT_TRUE(waitUntil([&] { return overlay.window()->windowHandle() &&
                                           overlay.window()->windowHandle()->isExposed(); }));
        repaint(overlay, 40);
        QCoreApplication::processEvents();
        EXPECT_TRUE(overlay.window()->grab().save(folder + u'/' + shot.name + u".png"_s));
        if (QGuiApplication::platformName() == u"xcb"_s &&
            shot.name == u"overlay-recording-dictation"_s) {
            // The whole screen shows where the capsule sits.
            settle(300);
            QScreen* screen = QGuiApplication::primaryScreen();
            EXPECT_TRUE(screen->grabWindow(0).save(folder + u'/' + shot.name +
                                                   u"-screen.png"_s));
        }
    }
}

namespace {

Window x11InputFocus(Display* display) {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    return focus;
}

} // namespace

// The tray icons of every state and mode on a light and a dark panel, for the documentation.
TEST(TrayIcons, Screenshot) {
    const QString folder = qEnvironmentVariable("QUOVANT_SCREENSHOT_DIR");
    if (folder.isEmpty()) {
        GTEST_SKIP() << "QUOVANT_SCREENSHOT_DIR not set";
    }
    using quovant::DesktopResources::trayIcon;
    using Kind = PipelineState::Kind;
    const std::vector<QIcon> icons = {
        trayIcon(Kind::idle, PipelineMode::dictation, true),
        trayIcon(Kind::idle, PipelineMode::dictation, false),
        trayIcon(Kind::recording, PipelineMode::dictation, true),
        trayIcon(Kind::recording, PipelineMode::editSelection, true),
        trayIcon(Kind::recording, PipelineMode::developerPrompt, true),
        trayIcon(Kind::thinking, PipelineMode::dictation, true),
        trayIcon(Kind::thinking, PipelineMode::editSelection, true),
        trayIcon(Kind::thinking, PipelineMode::developerPrompt, true),
        trayIcon(Kind::error, PipelineMode::dictation, true),
        quovant::DesktopResources::applicationIcon(),
    };
    const int cell = 40;
    QImage sheet(int(icons.size()) * cell, 2 * cell, QImage::Format_ARGB32);
    QPainter painter(&sheet);
    painter.fillRect(0, 0, sheet.width(), cell, QColor(240, 240, 240));
    painter.fillRect(0, cell, sheet.width(), cell, QColor(40, 40, 44));
    for (std::size_t i = 0; i < icons.size(); ++i) {
        ASSERT_FALSE(icons[i].isNull());
        for (int row = 0; row < 2; ++row) {
            painter.drawPixmap(int(i) * cell + 8, row * cell + 8, icons[i].pixmap(24, 24));
        }
    }
    painter.end();
    EXPECT_TRUE(sheet.save(folder + u"/tray-icons.png"_s));
}

// On a real X server (this test runs itself again as a child on Xvfb with the xcb platform):
// showing the capsule and flashing notices leave the keyboard focus where it was, and the
// window tells the server it takes no input.
TEST(RecordingOverlayOnX11, NeverTakesTheFocusFromTheFocusedWindow) {
    if (QGuiApplication::platformName() != u"xcb"_s) {
        quovant::testing::XvfbServer xvfb;
        ASSERT_TRUE(xvfb.running());
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {u"--gtest_filter=RecordingOverlayOnX11.*"_s});
        ASSERT_TRUE(child.waitForFinished(120000));
        const QString output = QString::fromLocal8Bit(child.readAll());
        EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains(u"[  PASSED  ] 1 test"_s)) << output.toStdString();
        return;
    }

    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    ASSERT_NE(x11, nullptr);
    Display* display = x11->display();

    QWidget destination;
    destination.setWindowTitle(u"destination"_s);
    auto* field = new QLineEdit(&destination);
    destination.resize(320, 80);
    destination.show();
    ASSERT_TRUE(waitUntil([&] { return destination.windowHandle()->isExposed(); }));
    destination.activateWindow();
    field->setFocus();
    ASSERT_TRUE(waitUntil([&] {
        return QApplication::focusWidget() == field &&
               x11InputFocus(display) == Window(destination.winId());
    }));

    RecordingOverlay overlay;
    overlay.levelProvider = [] { return 0.5f; };
    overlay.show(PipelineState::recording(), PipelineMode::dictation);
    ASSERT_TRUE(waitUntil([&] { return overlay.window()->windowHandle()->isExposed(); }));
    overlay.show(PipelineState::thinking(), PipelineMode::dictation);
    overlay.flash(u"Notice"_s, u"Something to say"_s);
    settle(500);

    EXPECT_EQ(x11InputFocus(display), Window(destination.winId()));
    EXPECT_EQ(QApplication::focusWidget(), field);
    EXPECT_EQ(QApplication::activeWindow(), &destination);
    EXPECT_FALSE(overlay.window()->isActiveWindow());

    XWMHints* hints = XGetWMHints(display, Window(overlay.window()->winId()));
    ASSERT_NE(hints, nullptr);
    EXPECT_TRUE(hints->flags & InputHint);
    EXPECT_FALSE(hints->input);
    XFree(hints);
    const QRect area = overlay.window()->screen()->availableGeometry();
    EXPECT_EQ(overlay.window()->frameGeometry().topLeft(), RecordingOverlay::placement(area));
}
