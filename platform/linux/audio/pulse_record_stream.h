#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <span>
#include <vector>

struct pa_context;
struct pa_stream;
struct pa_threaded_mainloop;

namespace quovant {

class NoiseSuppressor;

// The microphone on the sound server: a libpulse threaded main loop, a context and a record
// stream of float32 mono samples at one rate from the default source (the server resamples),
// with optional local noise reduction. The constructor connects and waits until the stream
// records; the destructor disconnects and joins the main loop's thread. `onSamples` runs on that
// thread. Construct and destroy on one thread other than the main loop's; `isRunning` is
// thread-safe.
class PulseRecordStream {
public:
    using SampleSink = std::function<void(std::span<const float>)>;

    // Throws QuovantError: `audioFormatUnsupported` for a rate the server cannot record,
    // `noAudioInput` when there is no server or no source, `microphoneDenied` when the server
    // refuses access; std::runtime_error (naming what failed) for anything else. When noise
    // reduction is asked for but cannot be set up, the stream runs raw and
    // `noiseReductionFailure` says why.
    PulseRecordStream(int sampleRate, bool noiseReduction, SampleSink onSamples);
    ~PulseRecordStream();
    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;

    // Context and stream are ready, and the stream was neither suspended, moved to another
    // source nor killed.
    bool isRunning() const { return m_running && !m_lost; }
    bool noiseReductionActive() const { return m_suppressor != nullptr; }
    QString noiseReductionFailure() const { return m_noiseReductionFailure; }

private:
    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onSuspended(pa_stream* stream, void* self);
    static void onMoved(pa_stream* stream, void* self);
    void updateRunning();
    void deliver(std::span<const float> samples);
    // Waits on the main loop (its lock held) until `done` or the time limit.
    bool waitFor(const std::function<bool()>& done, int timeoutMs);
    [[noreturn]] void fail(int error, bool streamStage);
    void close();

    SampleSink m_sink;
    std::unique_ptr<NoiseSuppressor> m_suppressor;
    QString m_noiseReductionFailure;
    std::vector<float> m_suppressed;
    pa_threaded_mainloop* m_mainloop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_lost{false};
};

} // namespace quovant
