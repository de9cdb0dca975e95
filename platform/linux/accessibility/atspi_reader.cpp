#include "platform/linux/accessibility/atspi_reader.h"

#include "settings/log.h"

#include <atspi/atspi.h>
#include <dbus/dbus.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

// libatspi keeps one connection per process and moves it from context to context; a context it
// was once attached to must never be destroyed, so every reader shares this one.
GMainContext* readerContext() {
    static GMainContext* const context = g_main_context_new();
    return context;
}

std::atomic<bool> g_readerAlive{false};

QString takeString(gchar* text) {
    QString result = text ? QString::fromUtf8(text) : QString();
    g_free(text);
    return result;
}

bool isTimeout(const GError* error) {
    // libatspi reports every failed call as an IPC error; only the text tells a missing reply.
    if (!error || !error->message) {
        return false;
    }
    const QString message = QString::fromUtf8(error->message);
    return message.contains(u"NoReply"_s) ||
           message.contains(u"did not receive a reply"_s, Qt::CaseInsensitive) ||
           message.contains(u"timed out"_s, Qt::CaseInsensitive) ||
           message.contains(u"appears to be hung"_s, Qt::CaseInsensitive);
}

struct ErrorHolder {
    GError* error = nullptr;
    ~ErrorHolder() { g_clear_error(&error); }
    GError** out() {
        g_clear_error(&error);
        return &error;
    }
};

template <typename T> struct GObjectRef {
    T* object = nullptr;
    GObjectRef() = default;
    explicit GObjectRef(T* owned) : object(owned) {}
    ~GObjectRef() {
        if (object) {
            g_object_unref(object);
        }
    }
    GObjectRef(const GObjectRef&) = delete;
    GObjectRef& operator=(const GObjectRef&) = delete;
    T* get() const { return object; }
    explicit operator bool() const { return object != nullptr; }
};

} // namespace

struct AtspiReader::Worker : std::enable_shared_from_this<AtspiReader::Worker> {
    explicit Worker(int callTimeout) : callTimeoutMs(callTimeout) {}

    // Shared with the calling threads.
    mutable std::mutex mutex;
    std::condition_variable startedChanged;
    bool started = false;
    bool busEnabled = false;
    std::optional<FocusedField> focus;
    std::atomic<std::uint64_t> focusEvents{0};
    std::atomic<bool> stopping{false};

    // Reader thread only.
    const int callTimeoutMs;
    bool owner = false;
    GMainLoop* loop = nullptr;
    DBusConnection* session = nullptr;
    AtspiEventListener* listener = nullptr;
    AtspiAccessible* focused = nullptr;
    // The bus name of an application that stopped answering, until it answers a ping again: its
    // fields are refused at once instead of waiting for another time-out.
    std::string hungBusName;
    std::thread thread;

    void post(std::function<void()> job) {
        auto* heap = new std::function<void()>(std::move(job));
        g_main_context_invoke_full(
            readerContext(), G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_REMOVE;
            },
            heap, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    }

    void run() {
        GMainContext* context = readerContext();
        g_main_context_push_thread_default(context);
        loop = g_main_loop_new(context, FALSE);
        start();
        {
            std::lock_guard lock(mutex);
            started = true;
        }
        startedChanged.notify_all();
        if (!stopping) {
            g_main_loop_run(loop);
        }
        shutDown();
        // Jobs still queued see `stopping` and return; none may outlive this reader.
        while (g_main_context_iteration(context, FALSE)) {
        }
        g_main_loop_unref(loop);
        loop = nullptr;
        g_main_context_pop_thread_default(context);
    }

    void start() {
        owner = !g_readerAlive.exchange(true);
        if (!owner) {
            Log::warn(u"Accessibility reader not started: another one is running."_s);
            return;
        }
        openSession();
        refreshEnabled();
    }

    void shutDown() {
        if (listener) {
            atspi_event_listener_deregister(listener, "object:state-changed:focused", nullptr);
            g_object_unref(listener);
            listener = nullptr;
        }
        setFocused(nullptr, std::nullopt);
        if (session) {
            dbus_connection_close(session);
            dbus_connection_unref(session);
            session = nullptr;
        }
        if (owner) {
            g_readerAlive = false;
        }
    }

    // A private session-bus connection of our own: libdbus's shared one would end the process
    // when the session bus goes away.
    void openSession() {
        const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        if (address.isEmpty()) {
            return;
        }
        DBusError error;
        dbus_error_init(&error);
        session = dbus_connection_open_private(address.constData(), &error);
        if (session && !dbus_bus_register(session, &error)) {
            dbus_connection_close(session);
            dbus_connection_unref(session);
            session = nullptr;
        }
        if (!session) {
            Log::warn(u"Accessibility reader: no session bus ("_s +
                      QString::fromUtf8(error.message ? error.message : "unknown") + u")."_s);
            dbus_error_free(&error);
            return;
        }
        dbus_connection_set_exit_on_disconnect(session, FALSE);
        // Turning assistive technologies on or off while we run takes effect at once.
        dbus_bus_add_match(session,
                           "type='signal',sender='org.a11y.Bus',path='/org/a11y/bus',"
                           "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
                           nullptr);
        dbus_connection_add_filter(
            session,
            [](DBusConnection*, DBusMessage* message, void* data) {
                if (dbus_message_is_signal(message, "org.freedesktop.DBus.Properties",
                                           "PropertiesChanged")) {
                    static_cast<Worker*>(data)->refreshEnabled();
                }
                return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
            },
            this, nullptr);
        atspi_dbus_connection_setup_with_g_main(session, readerContext());
    }

    // org.a11y.Status.IsEnabled, without starting the bus launcher: a desktop with assistive
    // technologies off has no accessible text to read.
    bool statusEnabled() {
        if (!session) {
            return false;
        }
        DBusMessage* message = dbus_message_new_method_call(
            "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get");
        const char* interface = "org.a11y.Status";
        const char* property = "IsEnabled";
        dbus_message_append_args(message, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                                 DBUS_TYPE_INVALID);
        dbus_message_set_auto_start(message, FALSE);
        DBusError error;
        dbus_error_init(&error);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(
            session, message, std::max(callTimeoutMs, 1000), &error);
        dbus_message_unref(message);
        bool enabled = false;
        if (reply) {
            DBusMessageIter iter;
            DBusMessageIter variant;
            if (dbus_message_iter_init(reply, &iter) &&
                dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_VARIANT) {
                dbus_message_iter_recurse(&iter, &variant);
                if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_BOOLEAN) {
                    dbus_bool_t value = FALSE;
                    dbus_message_iter_get_basic(&variant, &value);
                    enabled = value;
                }
            }
            dbus_message_unref(reply);
        }
        dbus_error_free(&error);
        return enabled;
    }

    void refreshEnabled() {
        if (!owner || stopping) {
            return;
        }
        bool enabled = statusEnabled();
        if (enabled && !listener) {
            enabled = connectAccessibilityBus();
        }
        if (!enabled) {
            setFocused(nullptr, std::nullopt);
        }
        bool changed = false;
        {
            std::lock_guard lock(mutex);
            changed = busEnabled != enabled;
            busEnabled = enabled;
        }
        if (changed) {
            Log::info(enabled ? u"Accessibility bus connected."_s
                              : u"Accessibility bus is off; selected text cannot be read."_s);
        }
    }

    bool connectAccessibilityBus() {
        // libatspi ends the process when asked to use a bus it could not reach, so the bus is
        // reached first; a reached bus is kept for the process's lifetime.
        if (!atspi_get_a11y_bus()) {
            Log::warn(u"Accessibility bus is enabled but cannot be reached."_s);
            return false;
        }
        if (!atspi_is_initialized()) {
            atspi_init();
        }
        atspi_set_main_context(readerContext());
        atspi_set_timeout(callTimeoutMs, callTimeoutMs);
        listener = atspi_event_listener_new(
            [](AtspiEvent* event, void* data) {
                static_cast<Worker*>(data)->onFocusEvent(event);
                g_boxed_free(ATSPI_TYPE_EVENT, event);
            },
            this, nullptr);
        ErrorHolder error;
        if (!atspi_event_listener_register(listener, "object:state-changed:focused", error.out())) {
            Log::warn(u"Accessibility reader: cannot listen for focus changes ("_s +
                      QString::fromUtf8(error.error ? error.error->message : "unknown") + u")."_s);
            g_object_unref(listener);
            listener = nullptr;
            return false;
        }
        findInitialFocus();
        return true;
    }

    static bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
        GObjectRef<AtspiStateSet> states(atspi_accessible_get_state_set(accessible));
        return states && atspi_state_set_contains(states.get(), state);
    }

    std::optional<std::int32_t> processOf(AtspiAccessible* accessible) {
        ErrorHolder error;
        const guint pid = atspi_accessible_get_process_id(accessible, error.out());
        if (error.error || pid == 0) {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(pid);
    }

    void onFocusEvent(AtspiEvent* event) {
        if (stopping || !event->source) {
            return;
        }
        const auto pid = processOf(event->source);
        if (pid && *pid == static_cast<std::int32_t>(::getpid())) {
            return;
        }
        if (event->detail1) {
            describeAndKeep(event->source, pid);
        } else if (event->source == focused) {
            setFocused(nullptr, std::nullopt);
        }
        focusEvents.fetch_add(1);
    }

    void describeAndKeep(AtspiAccessible* accessible, std::optional<std::int32_t> pid) {
        ErrorHolder error;
        const AtspiRole role = atspi_accessible_get_role(accessible, error.out());
        FocusedField field;
        if (!error.error) {
            if (gchar* name = atspi_role_get_name(role)) {
                field.roles.append(takeString(name));
            }
        }
        field.isPassword = !error.error && role == ATSPI_ROLE_PASSWORD_TEXT;
        field.processID = pid;
        setFocused(accessible, field);
    }

    void setFocused(AtspiAccessible* accessible, std::optional<FocusedField> field) {
        if (accessible) {
            g_object_ref(accessible);
        }
        if (focused) {
            g_object_unref(focused);
        }
        focused = accessible;
        std::lock_guard lock(mutex);
        focus = std::move(field);
    }

    // The focused accessible of the active window of another application, for when no event
    // told us (at start-up, or when the focus event was lost).
    void findInitialFocus() {
        const auto ownPid = static_cast<std::int32_t>(::getpid());
        GObjectRef<AtspiAccessible> desktop(atspi_get_desktop(0));
        if (!desktop) {
            return;
        }
        const gint apps = atspi_accessible_get_child_count(desktop.get(), nullptr);
        for (gint a = 0; a < apps && !stopping; ++a) {
            GObjectRef<AtspiAccessible> app(
                atspi_accessible_get_child_at_index(desktop.get(), a, nullptr));
            if (!app) {
                continue;
            }
            const auto pid = processOf(app.get());
            if (!pid || *pid == ownPid) {
                continue;
            }
            const gint windows = atspi_accessible_get_child_count(app.get(), nullptr);
            for (gint w = 0; w < windows; ++w) {
                GObjectRef<AtspiAccessible> window(
                    atspi_accessible_get_child_at_index(app.get(), w, nullptr));
                if (window && hasState(window.get(), ATSPI_STATE_ACTIVE)) {
                    int budget = 2000;
                    if (AtspiAccessible* found = findFocusedBelow(window.get(), budget)) {
                        describeAndKeep(found, pid);
                        g_object_unref(found);
                        return;
                    }
                }
            }
        }
    }

    AtspiAccessible* findFocusedBelow(AtspiAccessible* node, int& budget) {
        if (--budget < 0 || stopping) {
            return nullptr;
        }
        if (hasState(node, ATSPI_STATE_FOCUSED)) {
            return static_cast<AtspiAccessible*>(g_object_ref(node));
        }
        ErrorHolder error;
        const gint count = atspi_accessible_get_child_count(node, error.out());
        for (gint i = 0; i < count && !error.error; ++i) {
            GObjectRef<AtspiAccessible> child(
                atspi_accessible_get_child_at_index(node, i, nullptr));
            if (child) {
                if (AtspiAccessible* found = findFocusedBelow(child.get(), budget)) {
                    return found;
                }
            }
        }
        return nullptr;
    }

    void markHung(AtspiApplication* app) {
        if (!app || !app->bus_name || hungBusName == app->bus_name) {
            return;
        }
        hungBusName = app->bus_name;
        // Over the accessibility bus, whose replies this thread dispatches.
        ping(atspi_get_a11y_bus(), hungBusName);
    }

    // Peer.Ping is answered by the application's connection only once its main loop runs again.
    void ping(DBusConnection* bus, const std::string& busName) {
        if (!bus) {
            hungBusName.clear();
            return;
        }
        DBusMessage* message =
            dbus_message_new_method_call(busName.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping");
        DBusPendingCall* pending = nullptr;
        if (!message || !dbus_connection_send_with_reply(bus, message, &pending, 2000) ||
            !pending) {
            if (message) {
                dbus_message_unref(message);
            }
            hungBusName.clear();
            return;
        }
        dbus_message_unref(message);
        struct Pinged {
            std::weak_ptr<Worker> worker;
            DBusConnection* bus;
            std::string busName;
        };
        dbus_connection_ref(bus);
        dbus_pending_call_set_notify(
            pending,
            [](DBusPendingCall* call, void* data) {
                auto* pinged = static_cast<Pinged*>(data);
                DBusMessage* reply = dbus_pending_call_steal_reply(call);
                const bool noReply =
                    !reply || (dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR &&
                               dbus_message_is_error(reply, DBUS_ERROR_NO_REPLY));
                if (reply) {
                    dbus_message_unref(reply);
                }
                const auto worker = pinged->worker.lock();
                if (worker && worker->hungBusName == pinged->busName) {
                    if (noReply && !worker->stopping) {
                        worker->ping(pinged->bus, pinged->busName);
                    } else {
                        worker->hungBusName.clear();
                    }
                }
            },
            new Pinged{weak_from_this(), bus, busName},
            [](void* data) {
                auto* pinged = static_cast<Pinged*>(data);
                dbus_connection_unref(pinged->bus);
                delete pinged;
            });
        dbus_pending_call_unref(pending);
    }

    SelectionReading readSelection() {
        SelectionReading reading;
        {
            std::lock_guard lock(mutex);
            if (!busEnabled) {
                reading.outcome = SelectionReading::Outcome::busOff;
                return reading;
            }
        }
        // An application's bridge drops the events it raises before it knows who listens, so
        // focus inside a program that has just started may never have been announced.
        if (!focused) {
            findInitialFocus();
        }
        {
            std::lock_guard lock(mutex);
            if (!focused || !focus) {
                reading.outcome = SelectionReading::Outcome::noFocusedField;
                return reading;
            }
            reading.field = *focus;
        }
        GObjectRef<AtspiAccessible> accessible(
            static_cast<AtspiAccessible*>(g_object_ref(focused)));
        AtspiApplication* app = ATSPI_OBJECT(accessible.get())->app;
        if (app && app->bus_name && hungBusName == app->bus_name) {
            reading.outcome = SelectionReading::Outcome::notAnswering;
            return reading;
        }
        auto fail = [&](SelectionReading::Outcome outcome, const GError* error) {
            reading.outcome = isTimeout(error) ? SelectionReading::Outcome::notAnswering : outcome;
            if (reading.outcome == SelectionReading::Outcome::notAnswering) {
                markHung(app);
            }
            reading.selectedText.clear();
            reading.textBefore.reset();
            return reading;
        };
        // The role decides before any text is touched: a password field is never read.
        if (reading.field.isPassword) {
            reading.outcome = SelectionReading::Outcome::secureField;
            return reading;
        }
        // The state set call reports no error; a reply that never came shows in its duration.
        const auto asked = std::chrono::steady_clock::now();
        GObjectRef<AtspiStateSet> states(atspi_accessible_get_state_set(accessible.get()));
        if (std::chrono::steady_clock::now() - asked >=
            std::chrono::milliseconds(callTimeoutMs * 3 / 4)) {
            return fail(SelectionReading::Outcome::notAnswering, nullptr);
        }
        if (!states || atspi_state_set_contains(states.get(), ATSPI_STATE_DEFUNCT) ||
            !atspi_state_set_contains(states.get(), ATSPI_STATE_FOCUSED)) {
            return fail(SelectionReading::Outcome::noFocusedField, nullptr);
        }
        reading.editable = atspi_state_set_contains(states.get(), ATSPI_STATE_EDITABLE) &&
                           !atspi_state_set_contains(states.get(), ATSPI_STATE_READ_ONLY);
        GObjectRef<AtspiText> text(atspi_accessible_get_text_iface(accessible.get()));
        if (!text) {
            return fail(SelectionReading::Outcome::noSelection, nullptr);
        }
        ErrorHolder error;
        const gint selections = atspi_text_get_n_selections(text.get(), error.out());
        if (error.error || selections < 1) {
            return fail(SelectionReading::Outcome::noSelection, error.error);
        }
        AtspiRange* range = atspi_text_get_selection(text.get(), 0, error.out());
        if (error.error || !range) {
            g_free(range);
            return fail(SelectionReading::Outcome::noSelection, error.error);
        }
        reading.startOffset = std::min(range->start_offset, range->end_offset);
        reading.endOffset = std::max(range->start_offset, range->end_offset);
        g_free(range);
        if (reading.endOffset <= reading.startOffset) {
            return fail(SelectionReading::Outcome::noSelection, nullptr);
        }
        gchar* selected = atspi_text_get_text(text.get(), static_cast<gint>(reading.startOffset),
                                              static_cast<gint>(reading.endOffset), error.out());
        if (error.error || !selected) {
            g_free(selected);
            return fail(SelectionReading::Outcome::noSelection, error.error);
        }
        reading.selectedText = takeString(selected);
        reading.field.processID = processOf(accessible.get());
        gchar* before =
            atspi_text_get_text(text.get(), 0, static_cast<gint>(reading.startOffset), error.out());
        if (isTimeout(error.error)) {
            g_free(before);
            return fail(SelectionReading::Outcome::notAnswering, error.error);
        }
        if (!error.error && before) {
            reading.textBefore = takeString(before);
        } else {
            g_free(before);
        }
        reading.outcome = SelectionReading::Outcome::read;
        return reading;
    }
};

AtspiReader::AtspiReader(int callTimeoutMs, int waitTimeoutMs)
    : m_worker(std::make_shared<Worker>(callTimeoutMs)), m_waitTimeoutMs(waitTimeoutMs) {
    Worker* worker = m_worker.get();
    m_worker->thread = std::thread([worker] { worker->run(); });
}

AtspiReader::~AtspiReader() {
    m_worker->stopping = true;
    // A queued job runs inside the loop, so the quit cannot slip in before the loop starts.
    Worker* worker = m_worker.get();
    m_worker->post([worker] { g_main_loop_quit(worker->loop); });
    m_worker->thread.join();
}

bool AtspiReader::waitUntilStarted(int timeoutMs) {
    std::unique_lock lock(m_worker->mutex);
    m_worker->startedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [this] { return m_worker->started; });
    return m_worker->started && m_worker->busEnabled;
}

bool AtspiReader::isBusEnabled() const {
    std::lock_guard lock(m_worker->mutex);
    return m_worker->busEnabled;
}

std::optional<FocusedField> AtspiReader::focusedField() const {
    std::lock_guard lock(m_worker->mutex);
    if (!m_worker->busEnabled) {
        return std::nullopt;
    }
    return m_worker->focus;
}

std::optional<bool> AtspiReader::focusedFieldIsSecure() const {
    if (const auto field = focusedField()) {
        return field->isPassword;
    }
    return std::nullopt;
}

SelectionReading AtspiReader::readSelection() {
    auto promise = std::make_shared<std::promise<SelectionReading>>();
    std::future<SelectionReading> answer = promise->get_future();
    std::weak_ptr<Worker> weak = m_worker;
    m_worker->post([weak, promise] {
        auto worker = weak.lock();
        if (!worker || worker->stopping) {
            promise->set_value(SelectionReading{SelectionReading::Outcome::notAnswering});
            return;
        }
        promise->set_value(worker->readSelection());
    });
    if (answer.wait_for(std::chrono::milliseconds(m_waitTimeoutMs)) != std::future_status::ready) {
        SelectionReading late;
        late.outcome = SelectionReading::Outcome::notAnswering;
        return late;
    }
    return answer.get();
}

std::uint64_t AtspiReader::focusEventCount() const {
    return m_worker->focusEvents.load();
}

} // namespace quovant
