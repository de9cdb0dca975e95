#include "platform/linux/x11/linux_text_injector.h"

#include "core/quovant_error.h"
#include "platform/linux/x11/clipboard_owner.h"
#include "platform/linux/x11/injection_announcer.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMimeData>
#include <QList>
#include <QThread>

#include <array>

#include "platform/linux/x11/x11_support.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

// A modifier held on a physical keyboard cannot be released by a synthetic event: the user gets
// this long to let go before the paste goes out anyway.
constexpr int kModifierReleaseWaitMS = 500;

bool isDown(const std::array<char, 32>& keys, int keycode) {
    return (keys[keycode / 8] >> (keycode % 8)) & 1;
}

std::array<char, 32> keymap(Display* display) {
    std::array<char, 32> keys{};
    XQueryKeymap(display, keys.data());
    return keys;
}

QList<int> modifierKeycodes(Display* display) {
    QList<int> keycodes;
    if (XModifierKeymap* map = XGetModifierMapping(display)) {
        for (int i = 0; i < 8 * map->max_keypermod; ++i) {
            const int keycode = map->modifiermap[i];
            if (keycode != 0 && !keycodes.contains(keycode)) {
                keycodes.append(keycode);
            }
        }
        XFreeModifiermap(map);
    }
    return keycodes;
}

// What this process's own toolkit has on the clipboard, read on the main thread: the owner thread
// cannot ask for it while the main thread waits for the owner thread.
std::optional<ClipboardSnapshot> ownProcessClipboard() {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr ||
        QGuiApplication::platformName() != u"xcb"_s) {
        return std::nullopt;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr || !clipboard->ownsClipboard()) {
        return std::nullopt;
    }
    ClipboardSnapshot snapshot;
    snapshot.hadOwner = true;
    const QMimeData* data = clipboard->mimeData();
    if (data == nullptr) {
        return snapshot;
    }
    if (data->hasText()) {
        snapshot.formats = ClipboardOwner::textFormats(data->text(), false);
    }
    for (const QString& format : data->formats()) {
        if (format != u"text/plain"_s) {
            const QByteArray name = format.toUtf8();
            snapshot.formats.append({name, name, 8, data->data(format)});
        }
    }
    return snapshot;
}

} // namespace

struct LinuxTextInjector::Keyboard {
    x11::DisplayHandle display;

    // False when no display with XTest is reachable.
    bool connect() {
        if (display && !x11::isLost(display.get())) {
            return true;
        }
        display = x11::openDisplay();
        int event = 0, error = 0, major = 0, minor = 0;
        if (!display || !XTestQueryExtension(display.get(), &event, &error, &major, &minor)) {
            display.reset();
            return false;
        }
        return true;
    }

    bool focusedWindowIsTerminal() {
        Display* d = display.get();
        const auto window = x11::frontmostWindow(d);
        if (!window) {
            return false;
        }
        const auto windowClass = x11::windowClass(d, *window);
        return windowClass && isTerminal(windowClass->instance, windowClass->className);
    }

    void sendPaste(bool terminal) {
        Display* d = display.get();
        const KeyCode control = XKeysymToKeycode(d, XK_Control_L);
        const KeyCode shift = XKeysymToKeycode(d, XK_Shift_L);
        const KeyCode v = XKeysymToKeycode(d, XK_v);
        if (control == 0 || v == 0 || (terminal && shift == 0)) {
            throw QuovantError::injectionFailed(u"could not synthesise the paste keystroke"_s);
        }
        const InjectionAnnouncer::Token token = InjectionAnnouncer::open();
        x11::ErrorTrap trap(d);
        // The push-to-talk key and any other modifier may still be down; Ctrl+V must arrive alone.
        const QList<int> modifiers = modifierKeycodes(d);
        const auto before = keymap(d);
        QList<int> held;
        for (const int keycode : modifiers) {
            if (isDown(before, keycode)) {
                held.append(keycode);
                XTestFakeKeyEvent(d, keycode, False, CurrentTime);
            }
        }
        QList<int> released;
        if (!held.isEmpty()) {
            QElapsedTimer waited;
            waited.start();
            for (;;) {
                const auto now = keymap(d);
                const bool anyHeld = std::any_of(held.cbegin(), held.cend(),
                                                 [&](int keycode) { return isDown(now, keycode); });
                if (!anyHeld || waited.elapsed() >= kModifierReleaseWaitMS) {
                    break;
                }
                QThread::msleep(10);
            }
            const auto now = keymap(d);
            for (const int keycode : std::as_const(held)) {
                if (!isDown(now, keycode)) {
                    released.append(keycode);
                }
            }
        }
        XTestFakeKeyEvent(d, control, True, CurrentTime);
        if (terminal) {
            XTestFakeKeyEvent(d, shift, True, CurrentTime);
        }
        XTestFakeKeyEvent(d, v, True, CurrentTime);
        XTestFakeKeyEvent(d, v, False, CurrentTime);
        if (terminal) {
            XTestFakeKeyEvent(d, shift, False, CurrentTime);
        }
        XTestFakeKeyEvent(d, control, False, CurrentTime);
        // Keys released above through XTest were held through XTest too (a remote-desktop or
        // automation user, who still holds them): they go down again as they were.
        for (const int keycode : std::as_const(released)) {
            XTestFakeKeyEvent(d, keycode, True, CurrentTime);
        }
        const int error = trap.sync();
        InjectionAnnouncer::close(d, token);
        if (x11::isLost(d)) {
            display.reset();
            throw QuovantError::injectionFailed(u"no event source"_s);
        }
        if (error != 0) {
            throw QuovantError::injectionFailed(u"could not synthesise the paste keystroke"_s);
        }
    }
};

LinuxTextInjector::LinuxTextInjector(std::function<std::optional<bool>()> focusedFieldIsSecure)
    : m_focusedFieldIsSecure(std::move(focusedFieldIsSecure)),
      m_keyboard(std::make_unique<Keyboard>()) {}

LinuxTextInjector::~LinuxTextInjector() = default;

bool LinuxTextInjector::isTerminal(const QString& instance, const QString& className) {
    static const QStringList terminals{
        u"xterm"_s,          u"uxterm"_s,         u"urxvt"_s,          u"rxvt"_s,
        u"gnome-terminal"_s, u"gnome-terminal-server"_s, u"konsole"_s, u"kitty"_s,
        u"alacritty"_s,      u"xfce4-terminal"_s, u"tilix"_s,          u"terminator"_s,
        u"wezterm"_s,        u"org.wezfurlong.wezterm"_s, u"foot"_s,   u"st"_s,
        u"st-256color"_s,    u"lxterminal"_s,     u"mate-terminal"_s,  u"qterminal"_s,
        u"terminology"_s,    u"sakura"_s,         u"guake"_s,          u"tilda"_s,
        u"yakuake"_s,        u"termite"_s,        u"cool-retro-term"_s, u"kgx"_s,
        u"org.gnome.console"_s, u"ghostty"_s,     u"com.mitchellh.ghostty"_s, u"eterm"_s,
        u"aterm"_s,          u"deepin-terminal"_s, u"io.elementary.terminal"_s, u"contour"_s,
        u"rio"_s,            u"blackbox"_s,       u"com.raggesilver.blackbox"_s,
    };
    for (const QString& name : {instance, className}) {
        const QString lowered = name.toLower();
        if (terminals.contains(lowered) || lowered.endsWith(u"-terminal"_s) ||
            lowered.endsWith(u".terminal"_s)) {
            return true;
        }
    }
    return false;
}

void LinuxTextInjector::inject(const QString& text) {
    if (text.isEmpty()) {
        return;
    }
    if (!m_keyboard->connect()) {
        throw QuovantError(QuovantError::Kind::accessibilityDenied);
    }
    if (m_focusedFieldIsSecure) {
        if (const std::optional<bool> secure = m_focusedFieldIsSecure(); secure && *secure) {
            throw QuovantError(QuovantError::Kind::secureTextSelected);
        }
    }
    if (!m_owner || !m_owner->isAlive()) {
        m_owner = ClipboardOwner::shared();
    }
    if (!m_owner || !m_owner->beginInjection(text, ownProcessClipboard())) {
        throw QuovantError::injectionFailed(u"could not write to the clipboard"_s);
    }
    const bool terminal = m_keyboard->focusedWindowIsTerminal();
    try {
        m_keyboard->sendPaste(terminal);
    } catch (...) {
        m_owner->abandonInjection();
        throw;
    }
    m_owner->pasteSent();
}

} // namespace quovant
