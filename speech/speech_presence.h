#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quovant {

// Decides whether an utterance holds speech at all, from the audio alone: speech rises and falls
// well above its own floor, and some of its loud moments are voiced (periodic at a pitch a voice
// can have). Steady noise, hum, clicks, breath and silence fail one test or the other, so the
// recogniser's guess on them can be dropped. Fed incrementally at 16 kHz; one thread at a time.
class SpeechPresence {
public:
    struct Measures {
        // Loudness of the 95th percentile 20 ms block over the 10th, in decibels.
        double dynamicRange = 0;
        // The 95th percentile block level, dB relative to full scale.
        double level = -120;
        // Voiced blocks among those well above the floor.
        int voicedBlocks = 0;
    };

    void add(std::span<const std::int16_t> samples);
    void reset();

    Measures measures() const;
    // The longest pause (blocks well below this utterance's speech) that lies wholly inside
    // samples [from, to) of what was added, in milliseconds.
    int longestPause(std::int64_t from, std::int64_t to) const;
    bool heard() const { return heard(measures()); }
    static bool heard(const Measures& measures);

    static constexpr int kSampleRate = 16000;
    static constexpr int kBlock = kSampleRate / 50;
    // Pauses are timed in 10 ms steps.
    static constexpr int kFineBlock = kSampleRate / 100;

private:
    void closeBlock();

    std::vector<float> m_block;
    std::vector<float> m_band;
    std::vector<float> m_window;
    // Per block: level in dB, and the periodicity of the block.
    std::vector<float> m_levels;
    std::vector<float> m_periodicity;
    std::vector<float> m_fineLevels;
    double m_fineEnergy = 0;
    int m_fineCount = 0;
    float m_previous = 0;
    float m_highPassed = 0;
    float m_lowPassed[2] = {};
};

} // namespace quovant
