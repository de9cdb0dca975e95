#include "app/desktop/onboarding/onboarding_window.h"

#include "app/desktop/resources/desktop_resources.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

const QString kGrantedText = u"✓ Granted"_s;
const QString kMissingText = u"Missing"_s;
const QString kWaylandCommand = u"quovant toggle"_s;

QLabel* wrappedLabel(const QString& text, const QString& name, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

// The window itself: a dialog so that Return presses the default button. Hiding it by any
// means other than the window system's own (minimising) stops the polling.
class OnboardingWidget final : public QDialog {
public:
    OnboardingWidget()
        : QDialog(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                               Qt::CustomizeWindowHint) {}

    std::function<void()> onHidden;

    struct Row {
        QLabel* detail = nullptr;
        QLabel* status = nullptr;
        QLabel* hint = nullptr;
        QPushButton* action = nullptr;
        QVBoxLayout* text = nullptr;
    };
    Row microphone;
    Row keys;
    Row accessibility;
    QProgressBar* level = nullptr;
    QPushButton* restart = nullptr;
    QLabel* footer = nullptr;
    QPushButton* done = nullptr;

protected:
    void hideEvent(QHideEvent* event) override {
        QDialog::hideEvent(event);
        if (!event->spontaneous() && onHidden) {
            onHidden();
        }
    }
};

OnboardingWindow::OnboardingWindow(std::shared_ptr<AudioCapturing> capture,
                                   PermissionModel::Probes probes)
    : m_model(std::move(probes)), m_microphoneCheck(std::move(capture)),
      m_dictationKey(u"Right Alt"_s), m_promptKey(u"Right Ctrl"_s) {
    m_model.onChanged = [this] { update(); };
    m_model.onMicrophoneGranted = [this] {
        if (onMicrophoneGranted) {
            onMicrophoneGranted();
        }
    };
    m_model.onRestartRequested = [this] {
        if (onRestartRequested) {
            onRestartRequested();
        }
    };
    m_model.onFinished = [this] { close(); };
}

OnboardingWindow::~OnboardingWindow() {
    m_model.stopPolling();
    if (m_window) {
        m_window->onHidden = nullptr;
    }
}

void OnboardingWindow::setKeyNames(const QString& dictationKey, const QString& promptKey) {
    m_dictationKey = dictationKey;
    m_promptKey = promptKey;
    update();
}

void OnboardingWindow::show() {
    if (!m_window) {
        build();
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            m_window->move(area.center() - QPoint(kWidth / 2, kHeight / 2));
        }
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    m_model.startPolling();
}

void OnboardingWindow::close() {
    m_model.stopPolling();
    if (m_window) {
        m_window->hide();
    }
}

bool OnboardingWindow::isVisible() const {
    return m_window && m_window->isVisible();
}

QWidget* OnboardingWindow::window() const {
    return m_window.get();
}

void OnboardingWindow::build() {
    m_window = std::make_unique<OnboardingWidget>();
    OnboardingWidget* w = m_window.get();
    w->setObjectName(u"QuovantOnboarding"_s);
    w->setWindowTitle(u"Welcome to Quovant"_s);
    w->setWindowIcon(DesktopResources::applicationIcon());
    w->setFixedSize(kWidth, kHeight);
    w->onHidden = [this] { m_model.stopPolling(); };
    w->setStyleSheet(u"QLabel#badge { background: palette(highlight); color: "
                     "palette(highlighted-text); border-radius: 13px; font-weight: 600; }"
                     "QLabel[role=\"secondary\"] { color: palette(placeholder-text); }"
                     "QLabel[role=\"granted\"] { color: #2e9d4f; font-weight: 600; }"
                     "QLabel[role=\"missing\"] { color: #c0392b; font-weight: 600; }"
                     "QFrame#row { border: 1px solid palette(mid); border-radius: 8px; }"_s);

    auto* layout = new QVBoxLayout(w);
    layout->setContentsMargins(28, 24, 28, 20);
    layout->setSpacing(12);

    // Header: icon, name, one line about the product.
    auto* header = new QHBoxLayout;
    auto* icon = new QLabel(w);
    icon->setPixmap(DesktopResources::applicationIcon().pixmap(56, 56));
    header->addWidget(icon, 0, Qt::AlignTop);
    auto* titles = new QVBoxLayout;
    auto* title = new QLabel(u"Quovant"_s, w);
    title->setObjectName(u"title"_s);
    QFont titleFont = title->font();
    titleFont.setPixelSize(24);
    titleFont.setWeight(QFont::Bold);
    title->setFont(titleFont);
    titles->addWidget(title);
    titles->addWidget(
        wrappedLabel(u"Private, on-device voice dictation, editing, and prompts."_s,
                     u"subtitle"_s, w));
    header->addLayout(titles, 1);
    layout->addLayout(header);

    QLabel* intro = wrappedLabel(u"Three quick checks and you're done. Everything runs on this "
                                 "computer — your voice never leaves it."_s,
                                 u"introduction"_s, w);
    intro->setProperty("role", u"secondary"_s);
    QFont introFont = intro->font();
    introFont.setPixelSize(13);
    intro->setFont(introFont);
    layout->addWidget(intro);

    // The rows scroll rather than clip when a long explanation does not fit the fixed window.
    auto* scroll = new QScrollArea(w);
    scroll->setObjectName(u"rows"_s);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget(scroll);
    auto* rows = new QVBoxLayout(content);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(10);
    scroll->setWidget(content);
    layout->addWidget(scroll, 1);

    auto addRow = [&](int number, const QString& name, const QString& titleText,
                      const QString& actionTitle) {
        OnboardingWidget::Row row;
        auto* frame = new QFrame(content);
        frame->setObjectName(u"row"_s);
        auto* rowLayout = new QHBoxLayout(frame);
        rowLayout->setContentsMargins(12, 10, 12, 10);
        auto* badge = new QLabel(QString::number(number), frame);
        badge->setObjectName(u"badge"_s);
        badge->setFixedSize(26, 26);
        badge->setAlignment(Qt::AlignCenter);
        rowLayout->addWidget(badge, 0, Qt::AlignTop);
        auto* text = new QVBoxLayout;
        auto* rowTitle = new QLabel(titleText, frame);
        rowTitle->setObjectName(name + u"Title"_s);
        QFont bold = rowTitle->font();
        bold.setWeight(QFont::DemiBold);
        rowTitle->setFont(bold);
        text->addWidget(rowTitle);
        row.detail = wrappedLabel({}, name + u"Detail"_s, frame);
        row.detail->setProperty("role", u"secondary"_s);
        text->addWidget(row.detail);
        row.hint = wrappedLabel({}, name + u"Hint"_s, frame);
        text->addWidget(row.hint);
        row.text = text;
        rowLayout->addLayout(text, 1);
        auto* side = new QVBoxLayout;
        row.status = new QLabel(frame);
        row.status->setObjectName(name + u"Status"_s);
        row.status->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        side->addWidget(row.status, 0, Qt::AlignRight);
        row.action = new QPushButton(actionTitle, frame);
        row.action->setObjectName(name + u"Action"_s);
        row.action->setAutoDefault(false);
        side->addWidget(row.action, 0, Qt::AlignRight);
        side->addStretch(1);
        rowLayout->addLayout(side);
        rows->addWidget(frame);
        return row;
    };

    w->microphone = addRow(1, u"microphone"_s, u"Microphone"_s, u"Test Microphone"_s);
    w->microphone.detail->setText(
        u"Quovant keeps the microphone ready and holds only the latest 0.6 seconds in memory so "
        "it never clips your first word. Voice audio is processed on this computer and is not "
        "uploaded."_s);
    w->level = new QProgressBar(w);
    w->level->setObjectName(u"microphoneLevel"_s);
    w->level->setRange(0, 100);
    w->level->setTextVisible(false);
    w->level->setFixedHeight(6);
    w->level->hide();
    w->microphone.text->addWidget(w->level);
    QObject::connect(w->microphone.action, &QPushButton::clicked, w, [this] { testMicrophone(); });

    w->keys = addRow(2, u"keys"_s, u"Keys and typing"_s, u"Copy Command"_s);
    QObject::connect(w->keys.action, &QPushButton::clicked, w, [] {
        QGuiApplication::clipboard()->setText(kWaylandCommand);
    });

    w->accessibility = addRow(3, u"accessibility"_s, u"Accessibility"_s,
                              u"Turn On Accessibility"_s);
    w->accessibility.detail->setText(
        u"So Edit in Place can read the text you selected, and so Quovant never types into a "
        "password field, it uses the desktop's accessibility bus. After you turn it on, click "
        "Restart below."_s);
    QObject::connect(w->accessibility.action, &QPushButton::clicked, w,
                     [this] { turnOnAccessibility(); });

    auto* restartRow = new QHBoxLayout;
    restartRow->addSpacing(44);
    w->restart = new QPushButton(u"Restart to apply Accessibility"_s, content);
    w->restart->setObjectName(u"restartButton"_s);
    w->restart->setAutoDefault(false);
    QFont small = w->restart->font();
    small.setPixelSize(11);
    w->restart->setFont(small);
    restartRow->addWidget(w->restart);
    restartRow->addStretch(1);
    rows->addLayout(restartRow);
    rows->addStretch(1);
    QObject::connect(w->restart, &QPushButton::clicked, w, [this] {
        if (m_model.onRestartRequested) {
            m_model.onRestartRequested();
        }
    });

    auto* footer = new QHBoxLayout;
    w->footer = new QLabel(w);
    w->footer->setObjectName(u"footerText"_s);
    footer->addWidget(w->footer, 1);
    w->done = new QPushButton(w);
    w->done->setObjectName(u"doneButton"_s);
    w->done->setDefault(true);
    footer->addWidget(w->done);
    layout->addLayout(footer);
    QObject::connect(w->done, &QPushButton::clicked, w, [this] {
        if (m_model.onFinished) {
            m_model.onFinished();
        }
    });
    update();
}

void OnboardingWindow::update() {
    OnboardingWidget* w = m_window.get();
    if (w == nullptr) {
        return;
    }
    auto setStatus = [](QLabel* status, bool granted, bool showMissing) {
        status->setText(granted ? kGrantedText : (showMissing ? kMissingText : QString()));
        status->setProperty("role", granted ? u"granted"_s : u"missing"_s);
        status->style()->unpolish(status);
        status->style()->polish(status);
    };

    // Microphone: the test button stays, since hearing the level is useful either way.
    setStatus(w->microphone.status, m_model.microphone(), true);
    if (!m_model.microphone() && !m_microphoneCheck.isRunning() && w->level->isHidden()) {
        w->microphone.hint->setText(
            u"No sound input is reachable. Start the sound server (PulseAudio or PipeWire) and "
            "connect a microphone."_s);
    } else if (m_model.microphone() && w->level->isHidden() && !m_microphoneCheck.isRunning()) {
        w->microphone.hint->clear();
    }
    w->microphone.hint->setVisible(!w->microphone.hint->text().isEmpty());

    // Keys and typing.
    const DisplayCapabilities& display = m_model.display();
    setStatus(w->keys.status, m_model.keysAndTyping(), !display.waylandSession);
    if (display.waylandSession) {
        w->keys.detail->setText(
            u"On Wayland, apps cannot watch global keys. In your desktop's keyboard settings, add "
            "a shortcut that runs quovant toggle (quovant toggle edit and quovant toggle prompt "
            "for the other modes). Typing the text needs an X11 session."_s);
        w->keys.hint->clear();
    } else {
        w->keys.detail->setText(
            u"So Quovant can hear its hold-to-talk keys in any app and type the finished text "
            "where you are. This needs an X11 display with the XInput 2.1 and XTest "
            "extensions."_s);
        if (m_model.keysAndTyping()) {
            w->keys.hint->clear();
        } else if (!display.displayReachable) {
            w->keys.hint->setText(u"No X display answers. Start Quovant inside an X11 session."_s);
        } else {
            w->keys.hint->setText(u"This X display lacks "_s + display.missingExtensions() +
                                  u", so keys can't be watched or text typed."_s);
        }
    }
    w->keys.hint->setVisible(!w->keys.hint->text().isEmpty());
    w->keys.action->setVisible(display.waylandSession);

    // Accessibility bus.
    setStatus(w->accessibility.status, m_model.accessibilityBus(), false);
    w->accessibility.action->setVisible(!m_model.accessibilityBus());
    w->accessibility.hint->setText(m_model.accessibilityBus() ? QString()
                                                              : m_accessibilityMessage);
    w->accessibility.hint->setVisible(!w->accessibility.hint->text().isEmpty());
    w->restart->setVisible(!m_model.accessibilityBus());

    if (m_model.allGranted()) {
        w->footer->setText(u"✓ "_s + m_dictationKey + u" dictates · "_s + m_promptKey +
                           u" structures prompts"_s);
        w->done->setText(u"Done"_s);
    } else {
        w->footer->setText(u"Waiting for permissions…"_s);
        w->done->setText(u"Skip for now"_s);
    }
}

void OnboardingWindow::testMicrophone() {
    OnboardingWidget* w = m_window.get();
    if (w == nullptr || m_microphoneCheck.isRunning()) {
        return;
    }
    if (captureBusy && captureBusy()) {
        w->microphone.hint->setText(u"Quovant is recording right now; try again in a moment."_s);
        w->microphone.hint->show();
        return;
    }
    w->microphone.action->setEnabled(false);
    w->microphone.hint->setText(u"Listening for one second…"_s);
    w->microphone.hint->show();
    w->level->hide();
    m_microphoneCheck.start([this](const MicrophoneCheck::Result& result) {
        OnboardingWidget* window = m_window.get();
        if (window == nullptr) {
            return;
        }
        window->microphone.action->setEnabled(true);
        window->microphone.hint->setText(result.message);
        window->microphone.hint->show();
        // The bar spans −60…0 dBFS, where speech sits.
        const int percent = result.level > 0
                                ? std::clamp(int(std::lround((result.decibels + 60) / 60 * 100)),
                                             0, 100)
                                : 0;
        window->level->setValue(percent);
        window->level->setVisible(result.level > 0);
    });
}

void OnboardingWindow::turnOnAccessibility() {
    const AccessibilityBus::EnableResult result = m_model.enableAccessibilityBus();
    m_accessibilityMessage = result.enabled ? QString() : result.message;
    update();
}

} // namespace quovant
