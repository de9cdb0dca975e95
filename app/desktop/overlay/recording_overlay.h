#pragma once

#include "app/desktop/overlay/meter_model.h"
#include "core/pipeline_mode.h"
#include "core/pipeline_state.h"

#include <QColor>
#include <QFont>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>

class QWidget;

namespace quovant {

class OverlayWindow;

// The small capsule near the bottom of the screen that says what the pipeline is doing:
// "Listening" with a live level meter, "Thinking…" and its mode variants, an error in red, or a
// short orange notice that hides itself after 3.5 s. Its window is always on top, never takes
// focus and lets every click through, so the application about to receive text keeps focus.
// The shell owns one for the life of the process; main thread only.
//
//   overlay.levelProvider = [capture] { return capture->currentLevel(); };
//   notifier.present = [&overlay](auto& title, auto& body) { overlay.flash(title, body); };
//   on every state change: if (config.showOverlay) overlay.show(state, pipeline.activeMode());
class RecordingOverlay {
public:
    static constexpr QSize kSize{168, 44};
    static constexpr int kBottomOffset = 96; // from the bottom of the screen's available area
    static constexpr int kNoticeMs = 3500;
    static constexpr int kTickMs = 33; // 30 meter updates a second

    RecordingOverlay();
    ~RecordingOverlay();
    RecordingOverlay(const RecordingOverlay&) = delete;
    RecordingOverlay& operator=(const RecordingOverlay&) = delete;

    // The current input level, 0…1, read on every meter tick; 0 when unset.
    std::function<float()> levelProvider;

    // Shows the state's text and colour for the mode, or hides the window for idle. Recording
    // animates the meter; other states let it settle to its floor. A notice's pending
    // auto-hide is cancelled by any non-idle state, so a recording is never hidden by it.
    void show(const PipelineState& state, PipelineMode mode);
    // A transient notice: `body` (or `title` when the body is empty) in orange, hidden 3.5 s
    // after the latest flash.
    void flash(const QString& title, const QString& body);
    // Stops the meter and hides the window.
    void hide();

    // What is on screen, for the shell's diagnostics and for tests.
    bool isVisible() const;
    QString text() const;
    QColor textColor() const;
    QColor accentColor() const;
    bool meterActive() const;
    bool meterRunning() const;
    bool noticePending() const;
    const MeterModel& meter() const;
    QWidget* window() const;

    // The texts and colours the overlay uses.
    static QString stateText(const PipelineState& state, PipelineMode mode);
    static QColor accentColorFor(PipelineMode mode);
    static QColor textColorFor(PipelineState::Kind kind);
    static QColor noticeColor();
    // The label's font for a text: 13 px medium, down to 11 px when the text is too wide; what
    // still does not fit is cut at the end with an ellipsis.
    static QFont labelFont(const QString& text, QFont base);
    static QColor restingBarColor();
    // Top-left corner of the window for a screen's available area: centred horizontally, its
    // bottom edge 96 px above the area's bottom.
    static QPoint placement(const QRect& availableArea);

private:
    void position();
    void present();
    void startMeter();

    std::unique_ptr<OverlayWindow> m_window;
};

} // namespace quovant
