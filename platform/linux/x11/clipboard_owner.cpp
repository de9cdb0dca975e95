#include "platform/linux/x11/clipboard_owner.h"

#include "settings/log.h"

#include <QHash>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/linux/x11/x11_support.h"

#include <X11/Xatom.h>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kTargetLimit(1000);
constexpr milliseconds kSnapshotLimit(3000);
constexpr milliseconds kCallLimit(10000);
constexpr milliseconds kHandOverLimit(2000);
constexpr milliseconds kStaleTransfer(10000);
constexpr qsizetype kSnapshotBytesLimit = 64 * 1024 * 1024;

int bytesPerItem(int format) { return format == 32 ? int(sizeof(long)) : format / 8; }

struct Transfer {
    QByteArray data;
    Atom type = None;
    int format = 8;
    qsizetype offset = 0;
    Clock::time_point lastActivity;
    bool isInjectionFetch = false;
};

} // namespace

struct ClipboardOwner::Impl {
    // --- shared with the calling thread
    std::thread thread;
    int wakeFd = -1;
    std::mutex taskMutex;
    std::deque<std::function<void()>> tasks;
    std::atomic<bool> alive{false};
    std::atomic<bool> finishing{false};

    // --- owner thread only
    x11::DisplayHandle display;
    Window window = None;
    Atom clipboard = None, targets = None, multiple = None, timestamp = None, incr = None,
         atomPair = None, saveTargets = None, manager = None, transferProperty = None,
         timeProperty = None, utf8 = None;
    QList<Atom> skipped;
    qsizetype chunkBytes = 256 * 1024;

    bool owning = false;
    Time ownTime = CurrentTime;
    QList<ClipboardFormat> contents;
    quint64 serial = 0;

    struct Pending {
        ClipboardSnapshot snapshot;
        QByteArray text;
        quint64 serial = 0;
        bool armed = false;
        Window manager = None;
        std::optional<Clock::time_point> fetchedAt;
        Clock::time_point deadline;
    };
    std::optional<Pending> pending;
    milliseconds restoreDelay{350};
    milliseconds restoreDeadline{3000};

    QHash<QPair<Window, Atom>, Transfer> transfers;

    // ---- thread body
    bool open();
    void run(std::promise<bool> started);
    void runTasks();
    void dispatch(XEvent& event);
    std::optional<XEvent> waitFor(const std::function<bool(const XEvent&)>& matches,
                                  Clock::time_point deadline);
    std::optional<Clock::time_point> nextTimer() const;
    void runTimers();

    // ---- serving
    void serve(const XSelectionRequestEvent& request);
    bool serveTarget(Window requestor, Atom target, Atom property, bool& fetched);
    void continueTransfer(const XPropertyEvent& event);

    // ---- owning and reading
    std::optional<Time> serverTime();
    bool own(const QList<ClipboardFormat>& formats);
    void disown();
    std::optional<x11::Property> convert(Atom selection, Atom target, Clock::time_point deadline);
    ClipboardSnapshot snapshot();
    std::optional<QByteArray> currentText();

    // ---- injections
    bool beginInjection(const QString& text, std::optional<ClipboardSnapshot> ownProcess);
    void restore();
    void handOver();
};

// MARK: - Thread

bool ClipboardOwner::Impl::open() {
    display = x11::openDisplay();
    if (!display) {
        return false;
    }
    Display* d = display.get();
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    window = XCreateWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, CopyFromParent, InputOnly,
                           CopyFromParent, CWEventMask, &attributes);
    XStoreName(d, window, "com.quovant.clipboard");
    clipboard = x11::atom(d, "CLIPBOARD");
    targets = x11::atom(d, "TARGETS");
    multiple = x11::atom(d, "MULTIPLE");
    timestamp = x11::atom(d, "TIMESTAMP");
    incr = x11::atom(d, "INCR");
    atomPair = x11::atom(d, "ATOM_PAIR");
    saveTargets = x11::atom(d, "SAVE_TARGETS");
    manager = x11::atom(d, "CLIPBOARD_MANAGER");
    transferProperty = x11::atom(d, "_QUOVANT_TRANSFER");
    timeProperty = x11::atom(d, "_QUOVANT_TIMESTAMP");
    utf8 = x11::atom(d, "UTF8_STRING");
    // Protocol targets, and the ones whose conversion changes the owner's data.
    skipped = {targets,
               multiple,
               timestamp,
               saveTargets,
               x11::atom(d, "DELETE"),
               x11::atom(d, "INSERT_SELECTION"),
               x11::atom(d, "INSERT_PROPERTY")};
    long maxRequest = XExtendedMaxRequestSize(d);
    if (maxRequest == 0) {
        maxRequest = XMaxRequestSize(d);
    }
    chunkBytes = std::min<qsizetype>(chunkBytes, qsizetype(maxRequest) * 4 - 1024);
    XFlush(d);
    return true;
}

void ClipboardOwner::Impl::run(std::promise<bool> started) {
    pthread_setname_np(pthread_self(), "quovant.clipbrd");
    if (!open()) {
        started.set_value(false);
        return;
    }
    alive = true;
    started.set_value(true);
    Display* d = display.get();
    pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        runTasks();
        if (finishing || x11::isLost(d)) {
            break;
        }
        while (!x11::isLost(d) && XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            dispatch(event);
        }
        runTimers();
        if (x11::isLost(d)) {
            break;
        }
        XFlush(d);
        int timeout = -1;
        if (const auto next = nextTimer()) {
            timeout = int(std::max<qint64>(
                0, std::chrono::duration_cast<milliseconds>(*next - Clock::now()).count() + 1));
        }
        if (::poll(fds, 2, timeout) > 0 && (fds[1].revents & POLLIN) != 0) {
            uint64_t count = 0;
            [[maybe_unused]] const auto read = ::read(wakeFd, &count, sizeof count);
        }
        if ((fds[0].revents & (POLLERR | POLLHUP)) != 0) {
            XSync(d, False);
        }
    }
    alive = false;
    if (x11::isLost(d)) {
        Log::warn(u"Lost the connection to the X display; the clipboard owner stopped."_s);
    } else {
        XDestroyWindow(d, window);
        XFlush(d);
    }
    // Tasks queued from now on are answered by nobody; their callers time out instead of hanging.
    std::lock_guard lock(taskMutex);
    tasks.clear();
}

void ClipboardOwner::Impl::runTasks() {
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(taskMutex);
            if (tasks.empty()) {
                return;
            }
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task();
    }
}

void ClipboardOwner::Impl::dispatch(XEvent& event) {
    switch (event.type) {
    case SelectionRequest:
        serve(event.xselectionrequest);
        break;
    case SelectionClear:
        if (event.xselectionclear.window == window &&
            event.xselectionclear.selection == clipboard &&
            (event.xselectionclear.time == CurrentTime || event.xselectionclear.time >= ownTime)) {
            owning = false;
            contents.clear();
        }
        break;
    case PropertyNotify:
        if (event.xproperty.state == PropertyDelete && event.xproperty.window != window) {
            continueTransfer(event.xproperty);
        }
        break;
    default:
        break;
    }
}

std::optional<XEvent> ClipboardOwner::Impl::waitFor(
    const std::function<bool(const XEvent&)>& matches, Clock::time_point deadline) {
    Display* d = display.get();
    XFlush(d);
    for (;;) {
        while (!x11::isLost(d) && XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (matches(event)) {
                return event;
            }
            dispatch(event);
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (x11::isLost(d) || left.count() <= 0) {
            return std::nullopt;
        }
        pollfd fd{ConnectionNumber(d), POLLIN, 0};
        ::poll(&fd, 1, int(left.count()));
        if ((fd.revents & (POLLERR | POLLHUP)) != 0) {
            XSync(d, False);
        }
    }
}

std::optional<Clock::time_point> ClipboardOwner::Impl::nextTimer() const {
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point when) {
        if (!next || when < *next) {
            next = when;
        }
    };
    if (pending && pending->armed) {
        consider(pending->deadline);
        if (pending->fetchedAt) {
            consider(*pending->fetchedAt + restoreDelay);
        }
    }
    for (const Transfer& transfer : transfers) {
        consider(transfer.lastActivity + kStaleTransfer);
    }
    return next;
}

void ClipboardOwner::Impl::runTimers() {
    const auto now = Clock::now();
    if (pending && pending->armed &&
        (now >= pending->deadline ||
         (pending->fetchedAt && now >= *pending->fetchedAt + restoreDelay))) {
        restore();
    }
    for (auto it = transfers.begin(); it != transfers.end();) {
        if (now >= it->lastActivity + kStaleTransfer) {
            x11::ErrorTrap trap(display.get());
            XSelectInput(display.get(), it.key().first, NoEventMask);
            it = transfers.erase(it);
        } else {
            ++it;
        }
    }
}

// MARK: - Serving

void ClipboardOwner::Impl::serve(const XSelectionRequestEvent& request) {
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.requestor = request.requestor;
    reply.xselection.selection = request.selection;
    reply.xselection.target = request.target;
    reply.xselection.time = request.time;
    reply.xselection.property = None;
    // Obsolete requestors leave the property out and mean the target's name.
    const Atom property = request.property == None ? request.target : request.property;
    bool fetched = false;
    if (request.selection == clipboard && owning &&
        (request.time == CurrentTime || request.time >= ownTime) &&
        serveTarget(request.requestor, request.target, property, fetched)) {
        reply.xselection.property = property;
    }
    x11::ErrorTrap trap(display.get());
    XSendEvent(display.get(), request.requestor, False, NoEventMask, &reply);
    XFlush(display.get());
    if (fetched && pending && pending->armed && pending->serial == serial &&
        request.requestor != pending->manager) {
        pending->fetchedAt = Clock::now();
    }
}

bool ClipboardOwner::Impl::serveTarget(Window requestor, Atom target, Atom property,
                                       bool& fetched) {
    Display* d = display.get();
    x11::ErrorTrap trap(d);
    if (target == targets) {
        QList<long> atoms{long(targets), long(timestamp), long(multiple)};
        for (const ClipboardFormat& format : std::as_const(contents)) {
            atoms.append(long(x11::atom(d, format.target.constData())));
        }
        XChangeProperty(d, requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(atoms.constData()),
                        int(atoms.size()));
        return trap.sync() == 0;
    }
    if (target == timestamp) {
        const long time = long(ownTime);
        XChangeProperty(d, requestor, property, XA_INTEGER, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&time), 1);
        return trap.sync() == 0;
    }
    if (target == multiple) {
        const auto pairs = x11::readProperty(d, requestor, property);
        if (!pairs || pairs->format != 32) {
            return false;
        }
        QByteArray answered = pairs->data;
        auto* items = reinterpret_cast<long*>(answered.data());
        const qsizetype count = answered.size() / qsizetype(sizeof(long));
        for (qsizetype i = 0; i + 1 < count; i += 2) {
            if (Atom(items[i]) == multiple ||
                !serveTarget(requestor, Atom(items[i]), Atom(items[i + 1]), fetched)) {
                items[i + 1] = long(None);
            }
        }
        XChangeProperty(d, requestor, property, atomPair, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(answered.constData()),
                        int(count));
        return trap.sync() == 0;
    }
    const QByteArray name = x11::atomName(d, target);
    for (const ClipboardFormat& format : std::as_const(contents)) {
        if (format.target != name) {
            continue;
        }
        const Atom type = x11::atom(d, format.type.constData());
        fetched = true;
        if (format.data.size() > chunkBytes) {
            XSelectInput(d, requestor, PropertyChangeMask);
            const long size = long(format.data.size() / bytesPerItem(format.format)) *
                              (format.format / 8);
            XChangeProperty(d, requestor, property, incr, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&size), 1);
            if (trap.sync() != 0) {
                return false;
            }
            transfers.insert({requestor, property},
                             Transfer{format.data, type, format.format, 0, Clock::now(),
                                      pending && pending->serial == serial});
            return true;
        }
        XChangeProperty(d, requestor, property, type, format.format, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(format.data.constData()),
                        int(format.data.size() / bytesPerItem(format.format)));
        return trap.sync() == 0;
    }
    return false;
}

void ClipboardOwner::Impl::continueTransfer(const XPropertyEvent& event) {
    const auto found = transfers.find({event.window, event.atom});
    if (found == transfers.end()) {
        return;
    }
    Transfer& transfer = *found;
    Display* d = display.get();
    x11::ErrorTrap trap(d);
    const int itemBytes = bytesPerItem(transfer.format);
    const qsizetype chunk = std::max<qsizetype>(itemBytes, chunkBytes / itemBytes * itemBytes);
    const qsizetype length = std::min(chunk, transfer.data.size() - transfer.offset);
    XChangeProperty(d, event.window, event.atom, transfer.type, transfer.format, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(transfer.data.constData() +
                                                           transfer.offset),
                    int(length / itemBytes));
    transfer.offset += length;
    transfer.lastActivity = Clock::now();
    if (length == 0 || trap.sync() != 0) {
        // The empty piece ends the transfer.
        if (transfer.isInjectionFetch && pending && pending->armed) {
            pending->fetchedAt = Clock::now();
        }
        XSelectInput(d, event.window, NoEventMask);
        transfers.erase(found);
    }
}

// MARK: - Owning and reading

std::optional<Time> ClipboardOwner::Impl::serverTime() {
    Display* d = display.get();
    // A zero-length append changes nothing but yields a PropertyNotify with the server's time.
    XChangeProperty(d, window, timeProperty, XA_INTEGER, 8, PropModeAppend, nullptr, 0);
    const auto event = waitFor(
        [&](const XEvent& e) {
            return e.type == PropertyNotify && e.xproperty.window == window &&
                   e.xproperty.atom == timeProperty;
        },
        Clock::now() + kTargetLimit);
    if (!event) {
        return std::nullopt;
    }
    return event->xproperty.time;
}

bool ClipboardOwner::Impl::own(const QList<ClipboardFormat>& formats) {
    Display* d = display.get();
    const auto time = serverTime();
    if (!time) {
        return false;
    }
    XSetSelectionOwner(d, clipboard, window, *time);
    if (XGetSelectionOwner(d, clipboard) != window) {
        return false;
    }
    owning = true;
    ownTime = *time;
    contents = formats;
    ++serial;
    return true;
}

void ClipboardOwner::Impl::disown() {
    if (owning) {
        const auto time = serverTime();
        Display* d = display.get();
        XSetSelectionOwner(d, clipboard, None, time.value_or(CurrentTime));
        // The server ignores a release it finds out of date; giving up our own claim must not
        // leave an owner behind that serves nothing.
        if (XGetSelectionOwner(d, clipboard) == window) {
            XSetSelectionOwner(d, clipboard, None, CurrentTime);
        }
        XFlush(d);
    }
    owning = false;
    contents.clear();
}

std::optional<x11::Property> ClipboardOwner::Impl::convert(Atom selection, Atom target,
                                                           Clock::time_point deadline) {
    Display* d = display.get();
    XDeleteProperty(d, window, transferProperty);
    XConvertSelection(d, selection, target, transferProperty, window, CurrentTime);
    const auto notified = waitFor(
        [&](const XEvent& e) {
            return e.type == SelectionNotify && e.xselection.requestor == window &&
                   e.xselection.selection == selection && e.xselection.target == target;
        },
        deadline);
    if (!notified || notified->xselection.property == None) {
        return std::nullopt;
    }
    auto value = x11::readProperty(d, window, notified->xselection.property, true);
    if (!value || value->type != incr) {
        return value;
    }
    // Large data comes in pieces: each new value is read and deleted, an empty one ends it.
    x11::Property whole;
    for (;;) {
        const auto piece = waitFor(
            [&](const XEvent& e) {
                return e.type == PropertyNotify && e.xproperty.window == window &&
                       e.xproperty.atom == notified->xselection.property &&
                       e.xproperty.state == PropertyNewValue;
            },
            std::max(deadline, Clock::now() + kTargetLimit));
        if (!piece) {
            return std::nullopt;
        }
        const auto chunk = x11::readProperty(d, window, notified->xselection.property, true);
        if (!chunk) {
            return std::nullopt;
        }
        if (chunk->data.isEmpty()) {
            return whole;
        }
        whole.type = chunk->type;
        whole.format = chunk->format;
        whole.data.append(chunk->data);
        if (whole.data.size() > kSnapshotBytesLimit) {
            return std::nullopt;
        }
    }
}

ClipboardSnapshot ClipboardOwner::Impl::snapshot() {
    Display* d = display.get();
    ClipboardSnapshot result;
    const Window owner = XGetSelectionOwner(d, clipboard);
    if (owner == None) {
        return result;
    }
    result.hadOwner = true;
    if (owner == window && owning) {
        result.formats = contents;
        return result;
    }
    const auto started = Clock::now();
    const auto offered = convert(clipboard, targets, started + kTargetLimit);
    if (!offered || offered->format != 32) {
        return result;
    }
    const auto* atoms = reinterpret_cast<const long*>(offered->data.constData());
    const qsizetype count = offered->data.size() / qsizetype(sizeof(long));
    qsizetype total = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const Atom target = Atom(atoms[i]);
        if (target == None || skipped.contains(target)) {
            continue;
        }
        const auto now = Clock::now();
        if (now >= started + kSnapshotLimit) {
            break;
        }
        const auto value =
            convert(clipboard, target, std::min(now + kTargetLimit, started + kSnapshotLimit));
        if (!value || value->type == None || total + value->data.size() > kSnapshotBytesLimit) {
            continue;
        }
        total += value->data.size();
        result.formats.append(ClipboardFormat{x11::atomName(d, target),
                                              x11::atomName(d, value->type), value->format,
                                              value->data});
    }
    return result;
}

std::optional<QByteArray> ClipboardOwner::Impl::currentText() {
    const auto value = convert(clipboard, utf8, Clock::now() + milliseconds(500));
    if (!value || value->format != 8) {
        return std::nullopt;
    }
    return value->data;
}

// MARK: - Injections

bool ClipboardOwner::Impl::beginInjection(const QString& text,
                                          std::optional<ClipboardSnapshot> ownProcess) {
    // The previous paste's target has not fetched its text yet: replacing it now would paste the
    // new text twice and lose the old one.
    if (pending && pending->armed && !pending->fetchedAt && owning && pending->serial == serial) {
        Display* d = display.get();
        while (!pending->fetchedAt && owning && Clock::now() < pending->deadline &&
               !x11::isLost(d)) {
            waitFor([](const XEvent&) { return false; },
                    std::min(pending->deadline, Clock::now() + milliseconds(10)));
        }
    }
    bool keepPending = false;
    // The toolkit of this process holding the clipboard means someone copied since.
    if (pending && !ownProcess) {
        if (owning && pending->serial == serial) {
            keepPending = true;
        } else if (!owning && XGetSelectionOwner(display.get(), clipboard) != None) {
            // A clipboard manager that took our text over is not a copy by the user.
            keepPending = currentText() == pending->text;
        }
    }
    ClipboardSnapshot kept;
    if (keepPending) {
        kept = std::move(pending->snapshot);
    } else if (ownProcess) {
        kept = std::move(*ownProcess);
    } else {
        kept = snapshot();
    }
    pending.reset();
    const QList<ClipboardFormat> formats = ClipboardOwner::textFormats(text, true);
    if (!own(formats)) {
        return false;
    }
    Pending next;
    next.snapshot = std::move(kept);
    next.text = text.toUtf8();
    next.serial = serial;
    pending = std::move(next);
    return true;
}

void ClipboardOwner::Impl::restore() {
    if (!pending) {
        return;
    }
    Pending done = std::move(*pending);
    pending.reset();
    // The server has the last word on who owns the clipboard.
    const Window owner = XGetSelectionOwner(display.get(), clipboard);
    owning = owner == window;
    bool ours = owning && serial == done.serial;
    if (!owning && owner != None) {
        ours = currentText() == done.text;
    }
    if (!ours) {
        // Someone copied something meanwhile: theirs stays.
        return;
    }
    if (done.snapshot.hadOwner && !done.snapshot.formats.isEmpty()) {
        if (!own(done.snapshot.formats)) {
            Log::warn(u"Could not put the previous clipboard contents back."_s);
        }
    } else {
        disown();
    }
}

void ClipboardOwner::Impl::handOver() {
    if (pending) {
        restore();
    }
    Display* d = display.get();
    if (!owning || XGetSelectionOwner(d, manager) == None) {
        return;
    }
    // The manager asks for every target it wants to keep, then answers.
    const Atom property = x11::atom(d, "_QUOVANT_SAVE_TARGETS");
    XConvertSelection(d, manager, saveTargets, property, window, CurrentTime);
    waitFor(
        [&](const XEvent& e) {
            return e.type == SelectionNotify && e.xselection.requestor == window &&
                   e.xselection.selection == manager;
        },
        Clock::now() + kHandOverLimit);
}

// MARK: - Public face

namespace {

std::mutex g_sharedMutex;
std::weak_ptr<ClipboardOwner> g_shared;

template <typename Result>
std::optional<Result> callOn(ClipboardOwner::Impl& impl, std::function<Result()> work) {
    if (!impl.alive) {
        return std::nullopt;
    }
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> future = promise->get_future();
    {
        std::lock_guard lock(impl.taskMutex);
        impl.tasks.push_back([promise, work = std::move(work)] { promise->set_value(work()); });
    }
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(impl.wakeFd, &one, sizeof one);
    if (future.wait_for(kCallLimit) != std::future_status::ready) {
        return std::nullopt;
    }
    try {
        return future.get();
    } catch (const std::future_error&) {
        // The owner thread ended before it got to the task.
        return std::nullopt;
    }
}

} // namespace

ClipboardOwner::ClipboardOwner() : m_impl(std::make_unique<Impl>()) {}

std::shared_ptr<ClipboardOwner> ClipboardOwner::shared() {
    std::lock_guard lock(g_sharedMutex);
    if (auto existing = g_shared.lock(); existing && existing->isAlive()) {
        return existing;
    }
    std::shared_ptr<ClipboardOwner> owner(new ClipboardOwner());
    Impl& impl = *owner->m_impl;
    impl.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::promise<bool> started;
    std::future<bool> result = started.get_future();
    impl.thread = std::thread([&impl, started = std::move(started)]() mutable {
        impl.run(std::move(started));
    });
    if (result.wait_for(kCallLimit) != std::future_status::ready || !result.get()) {
        return nullptr;
    }
    g_shared = owner;
    return owner;
}

ClipboardOwner::~ClipboardOwner() {
    Impl& impl = *m_impl;
    if (impl.alive) {
        callOn<bool>(impl, [&impl] {
            impl.handOver();
            impl.finishing = true;
            return true;
        });
    }
    if (impl.thread.joinable()) {
        if (!impl.alive) {
            impl.thread.join();
        } else {
            impl.finishing = true;
            const uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(impl.wakeFd, &one, sizeof one);
            impl.thread.join();
        }
    }
    if (impl.wakeFd >= 0) {
        ::close(impl.wakeFd);
    }
}

bool ClipboardOwner::isAlive() const { return m_impl->alive; }

QList<ClipboardFormat> ClipboardOwner::textFormats(const QString& text, bool secret) {
    const QByteArray utf8 = text.toUtf8();
    QList<ClipboardFormat> formats{
        {"UTF8_STRING", "UTF8_STRING", 8, utf8},
        {"text/plain;charset=utf-8", "text/plain;charset=utf-8", 8, utf8},
    };
    // STRING is Latin-1; offered only when nothing would be lost.
    const QByteArray latin1 = text.toLatin1();
    if (QString::fromLatin1(latin1) == text) {
        formats.append({"STRING", "STRING", 8, latin1});
    }
    if (secret) {
        formats.append({"x-kde-passwordManagerHint", "x-kde-passwordManagerHint", 8, "secret"});
    }
    return formats;
}

bool ClipboardOwner::beginInjection(const QString& text,
                                    std::optional<ClipboardSnapshot> ownProcessSnapshot) {
    Impl& impl = *m_impl;
    return callOn<bool>(impl,
                        [&impl, text, ownProcessSnapshot] {
                            return impl.beginInjection(text, ownProcessSnapshot);
                        })
        .value_or(false);
}

void ClipboardOwner::pasteSent() {
    Impl& impl = *m_impl;
    callOn<bool>(impl, [&impl] {
        if (impl.pending) {
            impl.pending->armed = true;
            impl.pending->deadline = Clock::now() + impl.restoreDeadline;
            impl.pending->manager = XGetSelectionOwner(impl.display.get(), impl.manager);
        }
        return true;
    });
}

void ClipboardOwner::abandonInjection() {
    Impl& impl = *m_impl;
    callOn<bool>(impl, [&impl] {
        impl.pending.reset();
        return true;
    });
}

bool ClipboardOwner::setText(const QString& text) {
    Impl& impl = *m_impl;
    return callOn<bool>(impl,
                        [&impl, text] {
                            impl.pending.reset();
                            return impl.own(ClipboardOwner::textFormats(text, false));
                        })
        .value_or(false);
}

bool ClipboardOwner::hasPendingRestore() {
    Impl& impl = *m_impl;
    return callOn<bool>(impl, [&impl] { return impl.pending.has_value(); }).value_or(false);
}

ClipboardSnapshot ClipboardOwner::readClipboard() {
    Impl& impl = *m_impl;
    return callOn<ClipboardSnapshot>(impl, [&impl] { return impl.snapshot(); })
        .value_or(ClipboardSnapshot{});
}

void ClipboardOwner::setRestoreTiming(milliseconds delay, milliseconds deadline) {
    Impl& impl = *m_impl;
    callOn<bool>(impl, [&impl, delay, deadline] {
        impl.restoreDelay = delay;
        impl.restoreDeadline = deadline;
        return true;
    });
}

} // namespace quovant
