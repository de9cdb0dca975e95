#include "platform/linux/x11/linux_hotkey.h"

#include "platform/linux/x11/injection_announcer.h"
#include "platform/linux/x11/push_to_talk_detector.h"
#include "settings/log.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSet>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/linux/x11/x11_support.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

using Clock = std::chrono::steady_clock;
using Action = PushToTalkDetector::Action;

constexpr auto kWatchdogFirstCheck = std::chrono::milliseconds(900);
constexpr auto kWatchdogInterval = std::chrono::milliseconds(250);

} // namespace

struct LinuxHotkey::Shared {
    explicit Shared(PushToTalkKey key) : detector(key), key(key) {}

    std::mutex mutex;
    PushToTalkDetector detector;
    PushToTalkKey key;
    bool running = false;

    int wakeFd = -1;
    std::atomic<bool> stopping{false};

    std::shared_ptr<InjectionAnnouncer::Listener> injections;

    // Watchdog: the next check, absent while the key is up.
    std::condition_variable watchdogWake;
    std::optional<Clock::time_point> nextCheck;
    bool watchdogStopping = false;

    void armWatchdog() {
        nextCheck = Clock::now() + kWatchdogFirstCheck;
        watchdogWake.notify_all();
    }
    void cancelWatchdog() {
        nextCheck.reset();
        watchdogWake.notify_all();
    }
};

namespace {

// Posts the callback for `action` to the main thread; the hotkey may be gone by then.
void deliver(LinuxHotkey* hotkey, const std::weak_ptr<bool>& alive, Action action) {
    if (action == Action::none || QCoreApplication::instance() == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [hotkey, alive, action] {
            if (alive.expired()) {
                return;
            }
            const std::function<void()>& callback = action == Action::press     ? hotkey->onPress
                                                    : action == Action::release ? hotkey->onRelease
                                                                                : hotkey->onCancel;
            if (callback) {
                callback();
            }
        },
        Qt::QueuedConnection);
}

struct KeyboardFacts {
    QSet<int> xtestDevices;
    QSet<int> modifierKeycodes;
};

QSet<int> findXtestDevices(Display* display) {
    QSet<int> ids;
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(display, XIAllDevices, &count);
    for (int i = 0; i < count; ++i) {
        const XIDeviceInfo& device = devices[i];
        if ((device.use == XISlaveKeyboard || device.use == XIFloatingSlave) &&
            QByteArray(device.name).contains("XTEST")) {
            ids.insert(device.deviceid);
        }
    }
    if (devices != nullptr) {
        XIFreeDeviceInfo(devices);
    }
    return ids;
}

QSet<int> findModifierKeycodes(Display* display) {
    QSet<int> keycodes;
    if (XModifierKeymap* map = XGetModifierMapping(display)) {
        for (int i = 0; i < 8 * map->max_keypermod; ++i) {
            if (map->modifiermap[i] != 0) {
                keycodes.insert(map->modifiermap[i]);
            }
        }
        XFreeModifiermap(map);
    }
    int minimum = 8;
    int maximum = 255;
    XDisplayKeycodes(display, &minimum, &maximum);
    for (int keycode = minimum; keycode <= maximum; ++keycode) {
        const KeySym symbol = XkbKeycodeToKeysym(display, KeyCode(keycode), 0, 0);
        if (IsModifierKey(symbol)) {
            keycodes.insert(keycode);
        }
    }
    return keycodes;
}

bool selectEvents(Display* display, Window root) {
    x11::ErrorTrap trap(display);
    unsigned char rawMask[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(rawMask, XI_RawKeyPress);
    XISetMask(rawMask, XI_RawKeyRelease);
    XIEventMask raw{XIAllMasterDevices, int(sizeof(rawMask)), rawMask};
    XISelectEvents(display, root, &raw, 1);
    // Hierarchy changes are selected on their own: mixed with raw events they give BadValue.
    unsigned char hierarchyMask[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(hierarchyMask, XI_HierarchyChanged);
    XIEventMask hierarchy{XIAllDevices, int(sizeof(hierarchyMask)), hierarchyMask};
    XISelectEvents(display, root, &hierarchy, 1);
    return trap.sync() == 0;
}

void runListener(std::shared_ptr<LinuxHotkey::Shared> shared, LinuxHotkey* hotkey,
                 std::weak_ptr<bool> alive, std::promise<bool> started);

} // namespace

LinuxHotkey::LinuxHotkey(PushToTalkKey key)
    : m_shared(std::make_shared<Shared>(key)), m_alive(std::make_shared<bool>(true)) {}

LinuxHotkey::~LinuxHotkey() {
    m_alive.reset();
    stop();
}

void LinuxHotkey::updateKey(PushToTalkKey key) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->key = key;
    m_shared->detector.setKey(key);
    m_shared->cancelWatchdog();
}

bool LinuxHotkey::isRunning() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->running;
}

bool LinuxHotkey::start() {
    stop();
    m_shared->stopping = false;
    m_shared->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::promise<bool> started;
    std::future<bool> result = started.get_future();
    m_listener = std::thread(runListener, m_shared, this, std::weak_ptr<bool>(m_alive),
                             std::move(started));
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready || !result.get()) {
        Log::error(u"Could not watch the hotkey — no X display with XInput 2.1 raw key events "_s
                   u"is reachable."_s);
        stop();
        return false;
    }
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->watchdogStopping = false;
    }
    m_watchdog = std::thread([shared = m_shared, hotkey = this,
                              alive = std::weak_ptr<bool>(m_alive)] {
        pthread_setname_np(pthread_self(), "quovant.hk.wdog");
        // The watchdog reads the keyboard on a connection of its own, so a broken or busy
        // listener connection cannot hide a released key.
        x11::DisplayHandle display = x11::openDisplay();
        std::unique_lock lock(shared->mutex);
        while (!shared->watchdogStopping) {
            if (!shared->nextCheck) {
                shared->watchdogWake.wait(lock);
                continue;
            }
            if (shared->watchdogWake.wait_until(lock, *shared->nextCheck) !=
                    std::cv_status::timeout ||
                !shared->nextCheck || Clock::now() < *shared->nextCheck) {
                continue;
            }
            *shared->nextCheck += kWatchdogInterval;
            if (!display || x11::isLost(display.get()) || !shared->detector.isDown() ||
                (shared->injections && shared->injections->isOpen())) {
                continue;
            }
            const int keycode = shared->detector.keycode();
            lock.unlock();
            char keys[32] = {};
            XQueryKeymap(display.get(), keys);
            const bool held = (keys[keycode / 8] >> (keycode % 8)) & 1;
            lock.lock();
            if (held || x11::isLost(display.get()) || !shared->detector.isDown() ||
                shared->detector.keycode() != keycode) {
                continue;
            }
            Log::warn(u"Key-up was never delivered (key listener likely interrupted); "_s
                      u"recovering."_s);
            const Action action = shared->detector.forceRelease();
            shared->nextCheck.reset();
            deliver(hotkey, alive, action);
        }
    });
    const PushToTalkKey key = [&] {
        std::lock_guard lock(m_shared->mutex);
        return m_shared->key;
    }();
    Log::info(u"Hotkey armed · hold "_s + PushToTalkDetector::displayName(key) +
              u" (dedicated event thread)"_s);
    return true;
}

void LinuxHotkey::stop() {
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->watchdogStopping = true;
        m_shared->nextCheck.reset();
        m_shared->watchdogWake.notify_all();
    }
    if (m_watchdog.joinable()) {
        m_watchdog.join();
    }
    m_shared->stopping = true;
    if (m_shared->wakeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(m_shared->wakeFd, &one, sizeof one);
    }
    if (m_listener.joinable()) {
        m_listener.join();
    }
    if (m_shared->wakeFd >= 0) {
        ::close(m_shared->wakeFd);
        m_shared->wakeFd = -1;
    }
    std::lock_guard lock(m_shared->mutex);
    m_shared->detector.setKey(m_shared->key);
    m_shared->running = false;
}

namespace {

void handleKey(LinuxHotkey::Shared& shared, LinuxHotkey* hotkey, const std::weak_ptr<bool>& alive,
               const KeyboardFacts& facts, const XIRawEvent& raw, bool down) {
    // Our own keystrokes (releasing a held modifier, Ctrl+V) must not start or end a recording;
    // other XTest input is a remote-desktop or automation user and counts.
    if (facts.xtestDevices.contains(raw.sourceid) && shared.injections->isOpen()) {
        return;
    }
    PushToTalkDetector::KeyEvent event;
    event.keycode = raw.detail;
    event.down = down;
    event.isRepeat = (raw.flags & XIKeyRepeat) != 0;
    event.isModifier = facts.modifierKeycodes.contains(raw.detail);
    std::lock_guard lock(shared.mutex);
    const Action action = shared.detector.handle(event);
    switch (action) {
    case Action::press:
        shared.armWatchdog();
        break;
    case Action::release:
        shared.cancelWatchdog();
        break;
    case Action::cancel:
        Log::info(u"Hold of "_s + PushToTalkDetector::displayName(shared.key) +
                  u" cancelled: another key was typed while it was held."_s);
        break;
    case Action::none:
        if (!shared.detector.isDown()) {
            shared.cancelWatchdog();
        }
        break;
    }
    deliver(hotkey, alive, action);
}

void runListener(std::shared_ptr<LinuxHotkey::Shared> shared, LinuxHotkey* hotkey,
                 std::weak_ptr<bool> alive, std::promise<bool> started) {
    pthread_setname_np(pthread_self(), "quovant.hotkey");
    x11::DisplayHandle handle = x11::openDisplay();
    Display* display = handle.get();
    int opcode = 0;
    int firstEvent = 0;
    int firstError = 0;
    int major = 2;
    int minor = 1;
    if (display == nullptr ||
        !XQueryExtension(display, "XInputExtension", &opcode, &firstEvent, &firstError) ||
        XIQueryVersion(display, &major, &minor) != Success || major < 2 ||
        (major == 2 && minor < 1)) {
        started.set_value(false);
        return;
    }
    const Window root = DefaultRootWindow(display);
    XSetWindowAttributes attributes{};
    const Window window = XCreateWindow(display, root, -10, -10, 1, 1, 0, CopyFromParent,
                                        InputOnly, CopyFromParent, 0, &attributes);
    XStoreName(display, window, "com.quovant.hotkey");
    if (!selectEvents(display, root)) {
        started.set_value(false);
        return;
    }
    const Atom fence = x11::atom(display, InjectionAnnouncer::fenceAtomName());
    KeyboardFacts facts{findXtestDevices(display), findModifierKeycodes(display)};

    auto injections = std::make_shared<InjectionAnnouncer::Listener>();
    injections->fenceWindow = window;
    {
        std::lock_guard lock(shared->mutex);
        shared->injections = injections;
        shared->running = true;
    }
    InjectionAnnouncer::add(injections);
    XFlush(display);
    started.set_value(true);

    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {shared->wakeFd, POLLIN, 0}};
    while (!shared->stopping) {
        while (!x11::isLost(display) && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == ClientMessage && event.xclient.message_type == fence) {
                injections->close();
            } else if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);
                facts.modifierKeycodes = findModifierKeycodes(display);
            } else if (event.type == GenericEvent && event.xcookie.extension == opcode &&
                       XGetEventData(display, &event.xcookie)) {
                const int type = event.xcookie.evtype;
                if (type == XI_RawKeyPress || type == XI_RawKeyRelease) {
                    handleKey(*shared, hotkey, alive, facts,
                              *static_cast<const XIRawEvent*>(event.xcookie.data),
                              type == XI_RawKeyPress);
                } else if (type == XI_HierarchyChanged) {
                    facts.xtestDevices = findXtestDevices(display);
                }
                XFreeEventData(display, &event.xcookie);
            }
        }
        if (x11::isLost(display)) {
            break;
        }
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        if ((fds[0].revents & (POLLERR | POLLHUP)) != 0) {
            // Let Xlib notice and mark the connection lost.
            XSync(display, False);
        }
    }
    InjectionAnnouncer::remove(injections);
    const bool lost = x11::isLost(display);
    {
        std::lock_guard lock(shared->mutex);
        shared->running = false;
    }
    if (lost) {
        Log::warn(u"Lost the connection to the X display; the hotkey stopped listening until it "_s
                  u"is armed again."_s);
    } else {
        XDestroyWindow(display, window);
    }
}

} // namespace

} // namespace quovant
