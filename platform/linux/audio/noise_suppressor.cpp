#include "platform/linux/audio/noise_suppressor.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <stdexcept>
#include <string>

namespace quovant {

NoiseSuppressor::NoiseSuppressor(int sampleRate)
    : m_frameSize(static_cast<std::size_t>(sampleRate / 100)), m_sampleRate(sampleRate) {
    const auto refuse = [sampleRate](const std::string& why) {
        return std::runtime_error("WebRTC audio processing refused " + std::to_string(sampleRate) +
                                  " Hz: " + why);
    };
    // Frames are exactly 10 ms, so only rates in whole hundreds of hertz fit.
    if (sampleRate < 8000 || sampleRate % 100 != 0) {
        throw refuse("the rate is not a multiple of 100 Hz from 8000 Hz up");
    }
    m_processor.reset(webrtc::AudioProcessing::Create());
    if (!m_processor) {
        throw refuse("no processor");
    }
    webrtc::NoiseSuppression* suppression = m_processor->noise_suppression();
    if (suppression->set_level(webrtc::NoiseSuppression::kHigh) != 0 ||
        suppression->Enable(true) != 0) {
        throw refuse("noise suppression could not be enabled");
    }
    // One silent frame proves the rate is accepted before any real audio depends on it.
    std::vector<float> probe(m_frameSize, 0.0f);
    if (!processFrame(probe.data())) {
        throw refuse("the first frame failed");
    }
    m_pending.reserve(m_frameSize);
}

NoiseSuppressor::~NoiseSuppressor() = default;

bool NoiseSuppressor::processFrame(float* frame) {
    const webrtc::StreamConfig config(m_sampleRate, 1);
    float* channels[1] = {frame};
    return m_processor->ProcessStream(channels, config, config, channels) ==
           webrtc::AudioProcessing::kNoError;
}

void NoiseSuppressor::process(std::span<const float> input, std::vector<float>& output) {
    while (!input.empty()) {
        const std::size_t take = std::min(m_frameSize - m_pending.size(), input.size());
        m_pending.insert(m_pending.end(), input.begin(), input.begin() + take);
        input = input.subspan(take);
        if (m_pending.size() < m_frameSize) {
            break;
        }
        // A frame the processor rejects passes through untouched rather than being lost.
        processFrame(m_pending.data());
        output.insert(output.end(), m_pending.begin(), m_pending.end());
        m_pending.clear();
    }
}

} // namespace quovant
