#include "platform/linux/audio/pulse_record_stream.h"

#include "core/quovant_error.h"
#include "platform/linux/audio/noise_suppressor.h"

#include <pulse/pulseaudio.h>

#include <stdexcept>
#include <string>

namespace quovant {

namespace {

// Generous: a loaded machine or a server starting up may take seconds to answer.
constexpr int kConnectTimeoutMs = 10000;
// About 20 ms per delivery; the server's default would be about two seconds.
constexpr pa_usec_t kFragmentUsec = 20000;

bool isAccessError(int error) { return error == PA_ERR_ACCESS || error == PA_ERR_AUTHKEY; }

} // namespace

PulseRecordStream::PulseRecordStream(int sampleRate, bool noiseReduction, SampleSink onSamples)
    : m_sink(std::move(onSamples)) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(sampleRate), 1};
    if (sampleRate <= 0 || !pa_sample_spec_valid(&spec)) {
        throw QuovantError(QuovantError::Kind::audioFormatUnsupported);
    }
    if (noiseReduction) {
        try {
            m_suppressor = std::make_unique<NoiseSuppressor>(sampleRate);
        } catch (const std::exception& error) {
            m_noiseReductionFailure = QString::fromUtf8(error.what());
        }
    }

    m_mainloop = pa_threaded_mainloop_new();
    if (!m_mainloop) {
        throw std::runtime_error("Could not create the sound server's event loop.");
    }
    pa_threaded_mainloop_set_name(m_mainloop, "quovant-audio");
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_mainloop), "Quovant");
    if (!m_context) {
        close();
        throw std::runtime_error("Could not create a sound server context.");
    }
    pa_context_set_state_callback(m_context, &PulseRecordStream::onContextState, this);
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        fail(pa_context_errno(m_context), false);
    }
    if (pa_threaded_mainloop_start(m_mainloop) < 0) {
        close();
        throw std::runtime_error("Could not start the sound server's event loop.");
    }

    pa_threaded_mainloop_lock(m_mainloop);
    const bool connected = waitFor(
        [this] {
            const pa_context_state_t state = pa_context_get_state(m_context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        kConnectTimeoutMs);
    if (!connected || pa_context_get_state(m_context) != PA_CONTEXT_READY) {
        const int error = connected ? pa_context_errno(m_context) : PA_ERR_TIMEOUT;
        pa_threaded_mainloop_unlock(m_mainloop);
        fail(error, false);
    }

    m_stream = pa_stream_new(m_context, "Microphone", &spec, nullptr);
    if (!m_stream) {
        const int error = pa_context_errno(m_context);
        pa_threaded_mainloop_unlock(m_mainloop);
        fail(error, true);
    }
    pa_stream_set_state_callback(m_stream, &PulseRecordStream::onStreamState, this);
    pa_stream_set_read_callback(m_stream, &PulseRecordStream::onRead, this);
    pa_stream_set_suspended_callback(m_stream, &PulseRecordStream::onSuspended, this);
    pa_stream_set_moved_callback(m_stream, &PulseRecordStream::onMoved, this);
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentUsec, &spec));
    if (pa_stream_connect_record(m_stream, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY) < 0) {
        const int error = pa_context_errno(m_context);
        pa_threaded_mainloop_unlock(m_mainloop);
        fail(error, true);
    }
    const bool ready = waitFor(
        [this] {
            const pa_stream_state_t state = pa_stream_get_state(m_stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        kConnectTimeoutMs);
    if (!ready || pa_stream_get_state(m_stream) != PA_STREAM_READY) {
        const int error = ready ? pa_context_errno(m_context) : PA_ERR_TIMEOUT;
        pa_threaded_mainloop_unlock(m_mainloop);
        fail(error, true);
    }
    // The server converts to the format asked for; anything else would be misread.
    const pa_sample_spec* actual = pa_stream_get_sample_spec(m_stream);
    if (!actual || !pa_sample_spec_equal(actual, &spec)) {
        pa_threaded_mainloop_unlock(m_mainloop);
        close();
        throw QuovantError(QuovantError::Kind::audioFormatUnsupported);
    }
    updateRunning();
    pa_threaded_mainloop_unlock(m_mainloop);
}

PulseRecordStream::~PulseRecordStream() { close(); }

void PulseRecordStream::fail(int error, bool streamStage) {
    close();
    if (isAccessError(error)) {
        throw QuovantError(QuovantError::Kind::microphoneDenied);
    }
    // Before the stream exists every failure means there is no server to talk to; after it, no
    // such source.
    if (!streamStage || error == PA_ERR_NOENTITY) {
        throw QuovantError(QuovantError::Kind::noAudioInput);
    }
    if (error == PA_ERR_TIMEOUT) {
        throw std::runtime_error("The sound server did not open the microphone stream in time.");
    }
    throw std::runtime_error(std::string("The sound server refused the microphone stream: ") +
                             pa_strerror(error));
}

void PulseRecordStream::close() {
    if (!m_mainloop) {
        return;
    }
    pa_threaded_mainloop_lock(m_mainloop);
    if (m_stream) {
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        pa_stream_set_suspended_callback(m_stream, nullptr, nullptr);
        pa_stream_set_moved_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        m_stream = nullptr;
    }
    if (m_context) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    pa_threaded_mainloop_unlock(m_mainloop);
    pa_threaded_mainloop_stop(m_mainloop);
    pa_threaded_mainloop_free(m_mainloop);
    m_mainloop = nullptr;
    m_running = false;
}

bool PulseRecordStream::waitFor(const std::function<bool()>& done, int timeoutMs) {
    struct Timer {
        pa_threaded_mainloop* mainloop;
        bool expired = false;
    } timer{m_mainloop};
    pa_time_event* event = pa_context_rttime_new(
        m_context, pa_rtclock_now() + pa_usec_t(timeoutMs) * PA_USEC_PER_MSEC,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
            auto* timer = static_cast<Timer*>(data);
            timer->expired = true;
            pa_threaded_mainloop_signal(timer->mainloop, 0);
        },
        &timer);
    while (!done() && !timer.expired) {
        pa_threaded_mainloop_wait(m_mainloop);
    }
    if (event) {
        pa_threaded_mainloop_get_api(m_mainloop)->time_free(event);
    }
    return done();
}

void PulseRecordStream::updateRunning() {
    m_running = m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY && m_stream &&
                pa_stream_get_state(m_stream) == PA_STREAM_READY &&
                pa_stream_is_suspended(m_stream) != 1;
}

void PulseRecordStream::onContextState(pa_context*, void* self) {
    auto* stream = static_cast<PulseRecordStream*>(self);
    stream->updateRunning();
    pa_threaded_mainloop_signal(stream->m_mainloop, 0);
}

void PulseRecordStream::onStreamState(pa_stream*, void* self) {
    auto* stream = static_cast<PulseRecordStream*>(self);
    stream->updateRunning();
    pa_threaded_mainloop_signal(stream->m_mainloop, 0);
}

void PulseRecordStream::onSuspended(pa_stream*, void* self) {
    static_cast<PulseRecordStream*>(self)->updateRunning();
}

void PulseRecordStream::onMoved(pa_stream*, void* self) {
    // A stream the server moved away from its source has lost the microphone it was opened on.
    static_cast<PulseRecordStream*>(self)->m_lost = true;
}

void PulseRecordStream::onRead(pa_stream* stream, std::size_t, void* self) {
    auto* owner = static_cast<PulseRecordStream*>(self);
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            return; // failed or empty
        }
        // A hole (no data, some length) carries nothing to deliver; it is dropped like data.
        if (data) {
            owner->deliver(std::span<const float>(static_cast<const float*>(data),
                                                  bytes / sizeof(float)));
        }
        pa_stream_drop(stream);
    }
}

void PulseRecordStream::deliver(std::span<const float> samples) {
    if (samples.empty() || !m_sink) {
        return;
    }
    if (!m_suppressor) {
        m_sink(samples);
        return;
    }
    m_suppressed.clear();
    m_suppressor->process(samples, m_suppressed);
    if (!m_suppressed.empty()) {
        m_sink(m_suppressed);
    }
}

} // namespace quovant
