#include "platform/linux/x11/injection_announcer.h"

#include <QDateTime>

#include <algorithm>
#include <mutex>

#include "platform/linux/x11/x11_support.h"

namespace quovant {

namespace {

std::mutex g_mutex;
std::vector<std::weak_ptr<InjectionAnnouncer::Listener>> g_listeners;

constexpr qint64 kStaleWindowMS = 2000;

qint64 nowMS() { return QDateTime::currentMSecsSinceEpoch(); }

} // namespace

bool InjectionAnnouncer::Listener::isOpen() const {
    return openWindows.load() > 0 && nowMS() - openedAtMS.load() < kStaleWindowMS;
}

void InjectionAnnouncer::Listener::close() {
    int current = openWindows.load();
    while (current > 0 && !openWindows.compare_exchange_weak(current, current - 1)) {
    }
}

void InjectionAnnouncer::add(const std::shared_ptr<Listener>& listener) {
    std::lock_guard lock(g_mutex);
    g_listeners.push_back(listener);
}

void InjectionAnnouncer::remove(const std::shared_ptr<Listener>& listener) {
    std::lock_guard lock(g_mutex);
    std::erase_if(g_listeners, [&](const std::weak_ptr<Listener>& entry) {
        const auto locked = entry.lock();
        return !locked || locked == listener;
    });
}

InjectionAnnouncer::Token InjectionAnnouncer::open() {
    std::lock_guard lock(g_mutex);
    Token token;
    for (const auto& entry : g_listeners) {
        if (auto listener = entry.lock()) {
            if (!listener->isOpen()) {
                // A stale count from a lost fence must not keep the next window open for good.
                listener->openWindows.store(0);
            }
            listener->openedAtMS.store(nowMS());
            listener->openWindows.fetch_add(1);
            token.push_back(std::move(listener));
        }
    }
    return token;
}

void InjectionAnnouncer::close(_XDisplay* display, const Token& token) {
    if (token.empty()) {
        return;
    }
    x11::ErrorTrap trap(display);
    const Atom fence = x11::atom(display, fenceAtomName());
    for (const auto& listener : token) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = listener->fenceWindow;
        event.xclient.message_type = fence;
        event.xclient.format = 32;
        XSendEvent(display, listener->fenceWindow, False, NoEventMask, &event);
    }
    XFlush(display);
}

} // namespace quovant
