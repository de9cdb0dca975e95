#include "speech/audio_resampler.h"

#include <soxr.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace quovant::AudioResampler {

std::vector<float> convert(const std::vector<float>& samples, double from, double to) {
    if (!(from > 0) || !(to > 0) || !std::isfinite(from) || !std::isfinite(to) ||
        samples.empty() || from == to)
        return samples;
    const double length = to / from * double(samples.size());
    // Also bounds what libsoxr is asked to allocate.
    if (!(length < double(std::vector<float>().max_size()) / 2))
        throw std::length_error("resampled audio would not fit in memory");
    std::vector<float> output(static_cast<std::size_t>(length));
    if (output.empty())
        return output;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    std::size_t written = 0;
    const soxr_error_t error =
        soxr_oneshot(from, to, 1, samples.data(), samples.size(), nullptr, output.data(),
                     output.size(), &written, &io, &quality, nullptr);
    if (error)
        throw std::runtime_error(std::string("could not convert the sample rate: ") + error);
    output.resize(written);
    return output;
}

} // namespace quovant::AudioResampler
