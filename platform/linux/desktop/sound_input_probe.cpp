#include "platform/linux/desktop/sound_input_probe.h"

#include <pulse/pulseaudio.h>

#include <QElapsedTimer>

namespace quovant {

namespace {

struct ProbeState {
    bool serverInfoDone = false;
    QString defaultSource;
    bool sourceInfoDone = false;
    bool sourceFound = false;
};

// Runs the loop until `done` holds or the time is up; false on time-out or loop failure.
template <typename Done>
bool iterateUntil(pa_mainloop* loop, const QElapsedTimer& clock, int timeoutMs, Done done) {
    while (!done()) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0) {
            return false;
        }
        if (pa_mainloop_prepare(loop, static_cast<int>(left) * 1000) < 0 ||
            pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0) {
            return false;
        }
    }
    return true;
}

} // namespace

SoundInputProbe SoundInputProbe::probe(int timeoutMs) {
    SoundInputProbe result;
    QElapsedTimer clock;
    clock.start();

    pa_mainloop* loop = pa_mainloop_new();
    if (loop == nullptr) {
        return result;
    }
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Quovant");
    if (context == nullptr) {
        pa_mainloop_free(loop);
        return result;
    }
    ProbeState state;
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        const bool ready = iterateUntil(loop, clock, timeoutMs, [&] {
            const pa_context_state_t s = pa_context_get_state(context);
            return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        });
        if (ready && pa_context_get_state(context) == PA_CONTEXT_READY) {
            result.serverReachable = true;
            pa_operation* info = pa_context_get_server_info(
                context,
                [](pa_context*, const pa_server_info* server, void* data) {
                    auto* st = static_cast<ProbeState*>(data);
                    if (server != nullptr && server->default_source_name != nullptr) {
                        st->defaultSource = QString::fromUtf8(server->default_source_name);
                    }
                    st->serverInfoDone = true;
                },
                &state);
            if (info != nullptr) {
                iterateUntil(loop, clock, timeoutMs, [&] { return state.serverInfoDone; });
                pa_operation_unref(info);
            }
            result.defaultSource = state.defaultSource;
            if (!state.defaultSource.isEmpty()) {
                const QByteArray name = state.defaultSource.toUtf8();
                pa_operation* source = pa_context_get_source_info_by_name(
                    context, name.constData(),
                    [](pa_context*, const pa_source_info* info, int eol, void* data) {
                        auto* st = static_cast<ProbeState*>(data);
                        if (eol != 0) {
                            st->sourceInfoDone = true;
                        } else if (info != nullptr) {
                            st->sourceFound = true;
                        }
                    },
                    &state);
                if (source != nullptr) {
                    iterateUntil(loop, clock, timeoutMs, [&] { return state.sourceInfoDone; });
                    pa_operation_unref(source);
                }
                result.sourceExists = state.sourceFound;
            }
        }
        pa_context_disconnect(context);
    }
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return result;
}

} // namespace quovant
