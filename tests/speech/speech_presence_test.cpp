#include "speech/speech_presence.h"

#include "speech/wav_decoder.h"
#include "support/test_support.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>

using namespace Qt::StringLiterals;
using namespace quovant;

namespace {

using Samples = std::vector<float>;
constexpr double kRate = 16000;

double rms(const Samples& samples) {
    double sum = 0;
    for (const float value : samples)
        sum += double(value) * value;
    return std::sqrt(sum / double(std::max<std::size_t>(1, samples.size())));
}

Samples scaledTo(Samples samples, double level) {
    const double current = rms(samples);
    for (float& value : samples)
        value = float(value * level / current);
    return samples;
}

Samples white(double seconds, std::mt19937& random) {
    std::normal_distribution<float> noise(0, 1);
    Samples samples(std::size_t(kRate * seconds));
    for (float& value : samples)
        value = noise(random);
    return samples;
}

// 1/f noise from a bank of leaky integrators.
Samples pink(double seconds, std::mt19937& random) {
    const Samples source = white(seconds, random);
    Samples samples(source.size());
    double b[6] = {};
    const double poles[6] = {0.99886, 0.99332, 0.96900, 0.86650, 0.55000, -0.7616};
    const double gains[6] = {0.0555179, 0.0750759, 0.1538520, 0.3104856, 0.5329522, -0.0168980};
    for (std::size_t i = 0; i < source.size(); ++i) {
        double sum = source[i] * 0.5362;
        for (int k = 0; k < 6; ++k)
            sum += b[k] = poles[k] * b[k] + source[i] * gains[k];
        samples[i] = float(sum);
    }
    return samples;
}

Samples brown(double seconds, std::mt19937& random) {
    Samples samples = white(seconds, random);
    double level = 0;
    for (float& value : samples)
        value = float(level = 0.998 * level + 0.05 * value);
    return samples;
}

Samples hum(double seconds, double frequency) {
    Samples samples(std::size_t(kRate * seconds));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double phase = 2 * std::numbers::pi * frequency * double(i) / kRate;
        samples[i] = float(std::sin(phase) + 0.5 * std::sin(2 * phase) + 0.3 * std::sin(3 * phase));
    }
    return samples;
}

// Key presses: short decaying bursts at irregular intervals.
Samples clicks(double seconds, std::mt19937& random) {
    Samples samples(std::size_t(kRate * seconds), 0.0f);
    std::uniform_int_distribution<std::size_t> gap(1200, 4000);
    std::normal_distribution<float> noise(0, 1);
    for (std::size_t at = 800; at < samples.size(); at += gap(random))
        for (std::size_t k = 0; k < 240 && at + k < samples.size(); ++k)
            samples[at + k] = float(noise(random) * std::exp(-double(k) / 30));
    return samples;
}

// Breaths: noise under a slow swell, two a second and a half apart.
Samples breaths(double seconds, std::mt19937& random) {
    Samples samples = pink(seconds, random);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = std::fmod(double(i) / kRate, 1.5);
        samples[i] *= float(t < 0.9 ? std::sin(std::numbers::pi * t / 0.9) : 0.0);
    }
    return samples;
}

bool heard(const Samples& samples) {
    std::vector<std::int16_t> pcm(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        pcm[i] = std::int16_t(std::clamp(samples[i], -1.0f, 0.99996f) * 32767);
    SpeechPresence presence;
    // In capture-sized pieces, as the recogniser receives them.
    for (std::size_t start = 0; start < pcm.size(); start += 1600)
        presence.add(std::span(pcm).subspan(start, std::min<std::size_t>(1600, pcm.size() - start)));
    return presence.heard();
}

Samples spoken(const QString& voice, const QString& text) {
    QTemporaryDir dir;
    const QString path = dir.filePath(u"speech.wav"_s);
    EXPECT_TRUE(quovant::testing::speakWithFlite(voice, text, path));
    return WavDecoder::decode(quovant::testing::readFile(path)).samples;
}

} // namespace

TEST(SpeechPresence, NoiseHumClicksBreathAndSilenceAreNotSpeech) {
    std::mt19937 random(19);
    const std::vector<std::pair<const char*, std::function<Samples()>>> sources = {
        {"white", [&] { return white(3, random); }},
        {"pink", [&] { return pink(3, random); }},
        {"brown", [&] { return brown(3, random); }},
        {"hum 50 Hz", [] { return hum(3, 50); }},
        {"hum 60 Hz", [] { return hum(3, 60); }},
        {"clicks", [&] { return clicks(3, random); }},
        {"breaths", [&] { return breaths(3, random); }},
    };
    for (const auto& [name, make] : sources)
        for (const double level : {0.001, 0.01, 0.05, 0.2})
            EXPECT_FALSE(heard(scaledTo(make(), level))) << name << " at " << level;
    EXPECT_FALSE(heard(Samples(48000, 0.0f)));
    EXPECT_FALSE(heard({}));
}

TEST(SpeechPresence, SpeechIsHeardWhenQuietAndUnderNoise) {
    std::mt19937 random(23);
    for (const QString voice : {u"slt"_s, u"rms"_s}) {
        const Samples speech = spoken(voice, u"please call me back when you get this message"_s);
        for (const double gain : {1.0, 0.05, 0.01}) {
            Samples quiet = speech;
            for (float& value : quiet)
                value *= float(gain);
            EXPECT_TRUE(heard(quiet)) << voice.toStdString() << " at gain " << gain;
        }
        // Ten decibels above steady noise.
        Samples noisy = speech;
        const Samples noise = scaledTo(white(double(speech.size()) / kRate, random), rms(speech) / 3.16);
        for (std::size_t i = 0; i < noisy.size(); ++i)
            noisy[i] += noise[i];
        EXPECT_TRUE(heard(noisy)) << voice.toStdString() << " under noise";
    }
}
