#pragma once

#include <QtGlobal>

#include <atomic>
#include <memory>
#include <vector>

struct _XDisplay;

namespace quovant {

// Lets the hotkey listeners of this process ignore exactly our own synthetic keystrokes. The
// injector opens a window before its first XTest event and closes it with a fence event sent on
// the same connection after its last one; each listener receives the fence in order behind those
// keys, so everything in between (and nothing after) is known to be ours. Thread-safe.
class InjectionAnnouncer {
public:
    struct Listener {
        // The listener's own window: the fence is a client message to it.
        unsigned long fenceWindow = 0;
        std::atomic<int> openWindows{0};
        std::atomic<qint64> openedAtMS{0};

        // True while one of our injections is between its first key and its fence. A fence that
        // never arrives (the listener's connection broke) stops counting after two seconds.
        bool isOpen() const;
        // The fence of one injection arrived.
        void close();
    };

    static void add(const std::shared_ptr<Listener>& listener);
    static void remove(const std::shared_ptr<Listener>& listener);

    using Token = std::vector<std::shared_ptr<Listener>>;
    static Token open();
    // Sends the fences on `display`, the connection that sent the keys, and flushes it.
    static void close(_XDisplay* display, const Token& token);

    static const char* fenceAtomName() { return "_QUOVANT_INJECTION_FENCE"; }
};

} // namespace quovant
