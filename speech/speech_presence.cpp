#include "speech/speech_presence.h"

#include <algorithm>
#include <cmath>

namespace quovant {
namespace {

// Pitch between 60 and 400 Hz.
constexpr int kShortestPeriod = SpeechPresence::kSampleRate / 400;
constexpr int kLongestPeriod = SpeechPresence::kSampleRate / 60;
// Blocks this far above the utterance's floor count as loud.
constexpr double kLoudAboveFloor = 10;
// Pauses: blocks within this much of the floor, or this far below the loud blocks.
constexpr double kPauseAboveFloor = 6;
constexpr double kPauseBelowSpeech = 35;
constexpr double kVoicedPeriodicity = 0.65;

// Blocks quieter than this are silence whatever else happens (a quarter of one 16-bit step).
constexpr double kSilenceLevel = -100;
// Decisions; see `heard`.
constexpr double kMinimumDynamicRange = 8;
constexpr double kMinimumLevel = -75;
constexpr int kMinimumVoicedBlocks = 6; // 120 ms

double percentile(std::vector<float> values, double fraction) {
    if (values.empty())
        return kSilenceLevel;
    const auto index = static_cast<std::size_t>(fraction * double(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(index), values.end());
    return values[index];
}

// The strongest normalised autocorrelation at a pitch period, looked for only past the first
// dip below zero: coloured noise correlates at short lags but has no later peak.
float periodicity(const std::vector<float>& x) {
    const int n = int(x.size());
    const auto correlation = [&](int lag) {
        double sum = 0, energyA = 0, energyB = 0;
        for (int i = 0; i + lag < n; ++i) {
            sum += double(x[i]) * x[i + lag];
            energyA += double(x[i]) * x[i];
            energyB += double(x[i + lag]) * x[i + lag];
        }
        const double norm = std::sqrt(energyA * energyB);
        return norm > 0 ? sum / norm : 0.0;
    };
    int lag = 1;
    while (lag < kLongestPeriod && correlation(lag) > 0)
        ++lag;
    if (lag >= kLongestPeriod)
        return 0; // correlated beyond any pitch period: rumble, not a voice
    double best = 0;
    for (lag = std::max(lag, kShortestPeriod); lag <= kLongestPeriod && lag <= n / 2; ++lag)
        best = std::max(best, correlation(lag));
    return float(best);
}

} // namespace

void SpeechPresence::add(std::span<const std::int16_t> samples) {
    for (const std::int16_t sample : samples) {
        // Levels without the DC offset; pitch in the band where voices are strongest (about
        // 60 Hz to 1 kHz), so hiss above it does not mask the periodicity.
        const float value = float(sample) / 32768.0f;
        m_highPassed = value - m_previous + 0.99f * m_highPassed;
        m_previous = value;
        m_lowPassed[0] += 0.3f * (m_highPassed - m_lowPassed[0]);
        m_lowPassed[1] += 0.3f * (m_lowPassed[0] - m_lowPassed[1]);
        m_block.push_back(m_highPassed);
        m_fineEnergy += double(m_highPassed) * m_highPassed;
        if (++m_fineCount == kFineBlock) {
            m_fineLevels.push_back(
                float(std::max(kSilenceLevel, 10 * std::log10(m_fineEnergy / kFineBlock + 1e-30))));
            m_fineEnergy = 0;
            m_fineCount = 0;
        }
        m_band.push_back(m_lowPassed[1]);
        if (int(m_block.size()) == kBlock)
            closeBlock();
    }
}

void SpeechPresence::reset() {
    *this = SpeechPresence();
}

void SpeechPresence::closeBlock() {
    double energy = 0;
    for (const float value : m_block)
        energy += double(value) * value;
    const double level =
        std::max(kSilenceLevel, 10 * std::log10(energy / double(m_block.size()) + 1e-30));
    m_levels.push_back(float(level));
    // Only loud blocks can be voiced; the floor is not known yet, so measure every block that is
    // not silence.
    // Periodicity is judged over this block and the one before, long enough for a low voice.
    m_window.insert(m_window.end(), m_band.begin(), m_band.end());
    if (m_window.size() > 2 * std::size_t(kBlock))
        m_window.erase(m_window.begin(), m_window.end() - 2 * kBlock);
    m_periodicity.push_back(level > kSilenceLevel ? periodicity(m_window) : 0.0f);
    m_block.clear();
    m_band.clear();
}

SpeechPresence::Measures SpeechPresence::measures() const {
    Measures result;
    if (m_levels.empty())
        return result;
    const double floor = percentile(m_levels, 0.10);
    const double high = percentile(m_levels, 0.95);
    result.dynamicRange = high - floor;
    result.level = high;
    for (std::size_t i = 0; i < m_levels.size(); ++i)
        if (m_levels[i] >= floor + kLoudAboveFloor && m_periodicity[i] >= kVoicedPeriodicity)
            ++result.voicedBlocks;
    return result;
}

int SpeechPresence::longestPause(std::int64_t from, std::int64_t to) const {
    if (m_levels.empty())
        return 0;
    // Quiet: near the floor, or far below the loud blocks when the floor is digital silence.
    const double floor = percentile(m_levels, 0.10);
    const double high = percentile(m_levels, 0.95);
    const double quiet = std::max(floor + kPauseAboveFloor, high - kPauseBelowSpeech);
    const auto first = std::max<std::int64_t>(0, (from + kFineBlock - 1) / kFineBlock);
    const auto last = std::min<std::int64_t>(std::int64_t(m_fineLevels.size()), to / kFineBlock);
    int longest = 0;
    int run = 0;
    for (std::int64_t block = first; block < last; ++block) {
        run = m_fineLevels[std::size_t(block)] < quiet ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest * 1000 / (kSampleRate / kFineBlock);
}

bool SpeechPresence::heard(const Measures& measures) {
    return measures.dynamicRange >= kMinimumDynamicRange && measures.level >= kMinimumLevel &&
           measures.voicedBlocks >= kMinimumVoicedBlocks;
}

} // namespace quovant
