#pragma once

#include "core/ports/audio_capturing.h"

#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

namespace quovant {

// Records one second through the capture port and reports how loud it was, so the user can see
// that the input source hears them. Main thread. The capture's `onChunk` is taken for that
// second and cleared afterwards, as the pipeline does around its own recordings; the caller
// makes sure no dictation runs meanwhile.
class MicrophoneCheck {
public:
    static constexpr int kDurationMs = 1000;

    struct Result {
        bool heardSound = false;
        double level = 0; // loudest 50 ms window as RMS, 0…1
        double decibels = -120; // that level in dBFS
        QString message; // what the first-run window shows
    };

    explicit MicrophoneCheck(std::shared_ptr<AudioCapturing> capture);
    ~MicrophoneCheck();

    // Starts the one-second recording; false when one is already running. `done` runs on the
    // main thread when it ends (also when the capture cannot start).
    bool start(std::function<void(const Result&)> done);
    bool isRunning() const { return m_running; }

    // The result for what arrived: chunk count, loudest window's RMS, or a start failure.
    static Result describe(int chunks, double loudestRms, const QString& failure = {});

private:
    struct Meter;
    void finish();

    std::shared_ptr<AudioCapturing> m_capture;
    std::shared_ptr<Meter> m_meter;
    std::function<void(const Result&)> m_done;
    QTimer m_timer;
    bool m_running = false;
};

} // namespace quovant
