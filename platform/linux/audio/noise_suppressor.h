#pragma once

#include <memory>
#include <span>
#include <vector>

namespace webrtc {
class AudioProcessing;
}

namespace quovant {

// Local noise reduction for mono float audio: WebRTC's noise suppressor at its high level, run on
// whole 10 ms frames. Not thread-safe: one audio thread feeds it.
class NoiseSuppressor {
public:
    // Throws std::runtime_error when the processor cannot work at `sampleRate`.
    explicit NoiseSuppressor(int sampleRate);
    ~NoiseSuppressor();
    NoiseSuppressor(const NoiseSuppressor&) = delete;
    NoiseSuppressor& operator=(const NoiseSuppressor&) = delete;

    // Appends the suppressed version of every complete frame to `output`; an incomplete frame
    // waits for the next call (at most 10 ms of delay), so samples keep their order and count.
    void process(std::span<const float> input, std::vector<float>& output);

private:
    bool processFrame(float* frame);

    std::unique_ptr<webrtc::AudioProcessing> m_processor;
    std::size_t m_frameSize;
    int m_sampleRate;
    std::vector<float> m_pending;
};

} // namespace quovant
