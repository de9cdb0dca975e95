#include "app/desktop/overlay/recording_overlay.h"

#include <QCursor>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QRegion>
#include <QScreen>
#include <QTimer>
#include <QWidget>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

constexpr QRectF kMeterRect{14, 14, 40, 16};
constexpr QRectF kLabelRect{62, 12, 96, 20};
constexpr double kCornerRadius = 14;
const QColor kBackground{28, 28, 30, 224};
const QColor kPrimaryText{245, 245, 247};

} // namespace

// The capsule's window. It paints everything itself: the rounded background, the meter (whose
// smoothing advances with each paint) and the single-line label.
class OverlayWindow final : public QWidget {
public:
    OverlayWindow()
        : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                               Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput |
                               Qt::NoDropShadowWindowHint) {
        setObjectName(u"QuovantRecordingOverlay"_s);
        setWindowTitle(u"Quovant"_s);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_X11DoNotAcceptFocus);
        setFocusPolicy(Qt::NoFocus);
        setFixedSize(RecordingOverlay::kSize);
        // Without a compositor the translucent corners would show as black; the shape keeps
        // the capsule round everywhere.
        QPainterPath outline;
        outline.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
        setMask(QRegion(outline.toFillPolygon().toPolygon()));

        tick.setInterval(RecordingOverlay::kTickMs);
        tick.setTimerType(Qt::PreciseTimer);
        notice.setSingleShot(true);
        notice.setTimerType(Qt::PreciseTimer);
        notice.setInterval(RecordingOverlay::kNoticeMs);
    }

    MeterModel meter;
    float level = 0;
    bool meterActive = true;
    QColor accent = RecordingOverlay::accentColorFor(PipelineMode::dictation);
    QString text = u"Listening"_s;
    QColor textColor = kPrimaryText;
    QTimer tick;
    QTimer notice;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(rect(), Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setPen(Qt::NoPen);
        painter.setBrush(kBackground);
        painter.drawRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);

        meter.step(level, meterActive);
        painter.setBrush(meterActive ? accent : RecordingOverlay::restingBarColor());
        for (const QRectF& bar : meter.bars(kMeterRect.width(), kMeterRect.height())) {
            const QRectF placed = bar.translated(kMeterRect.topLeft());
            painter.drawRoundedRect(placed, placed.width() / 2, placed.width() / 2);
        }

        painter.setFont(RecordingOverlay::labelFont(text, font()));
        painter.setPen(textColor);
        const QString shown =
            painter.fontMetrics().elidedText(text, Qt::ElideRight, int(kLabelRect.width()));
        painter.drawText(kLabelRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                         shown);
    }
};

RecordingOverlay::RecordingOverlay() : m_window(std::make_unique<OverlayWindow>()) {
    OverlayWindow* window = m_window.get();
    QObject::connect(&window->tick, &QTimer::timeout, window, [this, window] {
        window->level = levelProvider ? levelProvider() : 0.0f;
        window->update();
    });
    QObject::connect(&window->notice, &QTimer::timeout, window, [this] { hide(); });
}

RecordingOverlay::~RecordingOverlay() = default;

QString RecordingOverlay::stateText(const PipelineState& state, PipelineMode mode) {
    switch (state.kind) {
    case PipelineState::Kind::idle:
        return {};
    case PipelineState::Kind::recording:
        switch (mode) {
        case PipelineMode::dictation:
            return u"Listening"_s;
        case PipelineMode::editSelection:
            return u"Say edit command"_s;
        case PipelineMode::developerPrompt:
            return u"Describe the task"_s;
        }
        break;
    case PipelineState::Kind::thinking:
        switch (mode) {
        case PipelineMode::dictation:
            return u"Thinking…"_s;
        case PipelineMode::editSelection:
            return u"Rewriting…"_s;
        case PipelineMode::developerPrompt:
            return u"Structuring…"_s;
        }
        break;
    case PipelineState::Kind::error:
        return state.message;
    }
    return {};
}

QColor RecordingOverlay::accentColorFor(PipelineMode mode) {
    switch (mode) {
    case PipelineMode::editSelection:
        return QColor(175, 96, 230); // purple
    case PipelineMode::developerPrompt:
        return QColor(48, 186, 196); // teal
    case PipelineMode::dictation:
        break;
    }
    // The desktop's own accent, as the style reports it.
    return QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight);
}

QColor RecordingOverlay::textColorFor(PipelineState::Kind kind) {
    switch (kind) {
    case PipelineState::Kind::thinking:
        return QColor(245, 245, 247, 158); // secondary
    case PipelineState::Kind::error:
        return QColor(255, 82, 74); // red
    case PipelineState::Kind::idle:
    case PipelineState::Kind::recording:
        break;
    }
    return kPrimaryText;
}

QFont RecordingOverlay::labelFont(const QString& text, QFont base) {
    base.setWeight(QFont::Medium);
    // The usual desktop fonts run wider than the capsule was drawn for; the fixed texts fit at
    // a slightly smaller or narrower face before anything is cut.
    struct Step {
        int pixels;
        int stretch;
    };
    static constexpr Step steps[] = {{13, QFont::Unstretched},
                                     {12, QFont::Unstretched},
                                     {12, QFont::SemiCondensed},
                                     {12, QFont::Condensed},
                                     {11, QFont::Condensed}};
    for (const Step& step : steps) {
        base.setPixelSize(step.pixels);
        base.setStretch(step.stretch);
        if (QFontMetricsF(base).horizontalAdvance(text) <= kLabelRect.width()) {
            break;
        }
    }
    return base;
}

QColor RecordingOverlay::noticeColor() {
    return QColor(255, 159, 28); // orange
}

QColor RecordingOverlay::restingBarColor() {
    return QColor(245, 245, 247, 77); // tertiary
}

QPoint RecordingOverlay::placement(const QRect& availableArea) {
    const int x = availableArea.x() + availableArea.width() / 2 - kSize.width() / 2;
    const int y = availableArea.y() + availableArea.height() - kBottomOffset - kSize.height();
    return {x, y};
}

void RecordingOverlay::show(const PipelineState& state, PipelineMode mode) {
    OverlayWindow* window = m_window.get();
    window->accent = accentColorFor(mode);
    window->update();
    if (state.kind == PipelineState::Kind::idle) {
        hide();
        return;
    }
    window->notice.stop();
    window->text = stateText(state, mode);
    window->textColor = textColorFor(state.kind);
    window->meterActive = state.kind == PipelineState::Kind::recording;
    window->update();
    present();
    startMeter();
}

void RecordingOverlay::flash(const QString& title, const QString& body) {
    OverlayWindow* window = m_window.get();
    window->notice.stop();
    window->text = body.isEmpty() ? title : body;
    window->textColor = noticeColor();
    window->meterActive = false;
    window->update();
    present();
    window->notice.start();
}

void RecordingOverlay::hide() {
    m_window->tick.stop();
    m_window->notice.stop();
    m_window->hide();
}

void RecordingOverlay::position() {
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return;
    }
    m_window->move(placement(screen->availableGeometry()));
}

void RecordingOverlay::present() {
    position();
    m_window->show();
    m_window->raise();
}

void RecordingOverlay::startMeter() {
    if (!m_window->tick.isActive()) {
        m_window->tick.start();
    }
}

bool RecordingOverlay::isVisible() const {
    return m_window->isVisible();
}
QString RecordingOverlay::text() const {
    return m_window->text;
}
QColor RecordingOverlay::textColor() const {
    return m_window->textColor;
}
QColor RecordingOverlay::accentColor() const {
    return m_window->accent;
}
bool RecordingOverlay::meterActive() const {
    return m_window->meterActive;
}
bool RecordingOverlay::meterRunning() const {
    return m_window->tick.isActive();
}
bool RecordingOverlay::noticePending() const {
    return m_window->notice.isActive();
}
const MeterModel& RecordingOverlay::meter() const {
    return m_window->meter;
}
QWidget* RecordingOverlay::window() const {
    return m_window.get();
}

} // namespace quovant
