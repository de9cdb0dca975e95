#include "speech/pocket_sphinx_engine.h"

#include "core/quovant_error.h"
#include "formatting/dictation_cleanup.h"
#include "speech/cepstral_mean_state.h"
#include "speech/wav_decoder.h"
#include "support/test_support.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <thread>

using namespace Qt::StringLiterals;
using namespace quovant;
using quovant::testing::run;

namespace {

struct Spoken {
    QString text;
    QString voice;
};

// Varied dictation in all four voices; the reference texts are what the decoder should write.
const std::vector<Spoken> kSpeechSet = {
    {u"please send the report to the team by friday"_s, u"slt"_s},
    {u"the meeting has been moved to three o'clock tomorrow afternoon"_s, u"awb"_s},
    {u"can you check whether the build passed on the main branch"_s, u"rms"_s},
    {u"i think we should start with a simple version first"_s, u"kal16"_s},
    {u"the weather today is sunny with a light breeze"_s, u"slt"_s},
    {u"remind me to call my mother in the evening"_s, u"awb"_s},
    {u"we need to fix the bug before the next release"_s, u"rms"_s},
    {u"thank you for your help with the project"_s, u"kal16"_s},
    {u"the quick brown fox jumps over the lazy dog"_s, u"slt"_s},
    {u"open the file and read the first line"_s, u"awb"_s},
    {u"our sales grew by ten percent last year"_s, u"rms"_s},
    {u"she bought fresh bread and milk at the store"_s, u"kal16"_s},
    {u"the train leaves the station at seven in the morning"_s, u"slt"_s},
    {u"please write a short summary of the discussion"_s, u"awb"_s},
    {u"let me know if you have any questions"_s, u"rms"_s},
    {u"the children played in the park until it got dark"_s, u"kal16"_s},
    {u"add a test for the new feature and run it again"_s, u"slt"_s},
    {u"this function returns the number of words in the text"_s, u"awb"_s},
    {u"i would like to book a table for two people"_s, u"rms"_s},
    {u"the government announced a new plan for public health"_s, u"kal16"_s},
    {u"he forgot his keys at the office yesterday"_s, u"slt"_s},
    {u"move the old files into the archive folder"_s, u"awb"_s},
    {u"we will review the changes on monday morning"_s, u"rms"_s},
    {u"the music was too loud for us to talk"_s, u"kal16"_s},
};

// The word error rate measured on this set (9.1 %), with a little room above.
constexpr double kMaxSpeechSetErrorRate = 0.10;

using Samples = std::vector<float>;

// Speaks every sentence once per test run and keeps the decoded audio.
class SpokenAudio {
public:
    static const Samples& of(const Spoken& spoken) {
        static SpokenAudio instance;
        return instance.speak(spoken);
    }

private:
    const Samples& speak(const Spoken& spoken) {
        const QString key = spoken.voice + u'|' + spoken.text;
        auto found = m_cache.find(key);
        if (found != m_cache.end())
            return found->second;
        const QString path = m_dir.filePath(QString::number(m_cache.size()) + u".wav"_s);
        EXPECT_TRUE(quovant::testing::speakWithFlite(spoken.voice, spoken.text, path))
            << "flite did not run; is it installed?";
        const auto decoded = WavDecoder::decode(quovant::testing::readFile(path));
        EXPECT_EQ(decoded.sampleRate, 16000);
        return m_cache.emplace(key, decoded.samples).first->second;
    }

    QTemporaryDir m_dir;
    std::map<QString, Samples> m_cache;
};

// Feeds the samples in 100 ms chunks at `rate`, as the capture would, labelled `declared`.
void feed(PocketSphinxEngine& engine, const Samples& samples, double rate = 16000,
          std::optional<double> declared = {}) {
    const auto chunk = static_cast<std::size_t>(rate / 10);
    for (std::size_t start = 0; start < samples.size(); start += chunk) {
        const auto end = std::min(samples.size(), start + chunk);
        engine.append(
            {Samples(samples.begin() + start, samples.begin() + end), declared.value_or(rate)});
    }
}

QString transcribe(PocketSphinxEngine& engine, const Samples& samples, QStringList context = {}) {
    run(engine.beginUtterance(context));
    feed(engine, samples);
    return run(engine.finishUtterance());
}

QStringList words(const QString& text) {
    return text.split(u' ', Qt::SkipEmptyParts);
}

int wordErrors(const QString& reference, const QString& hypothesis) {
    return quovant::testing::wordErrors(words(reference), words(hypothesis.toLower()));
}

double errorRate(PocketSphinxEngine& engine, const std::vector<Spoken>& set,
                 const QStringList& context) {
    int errors = 0;
    int total = 0;
    for (const Spoken& spoken : set) {
        const QString heard = transcribe(engine, SpokenAudio::of(spoken), context);
        errors += wordErrors(spoken.text, heard);
        total += int(words(spoken.text).size());
        std::printf("  %-8s %s\n        → %s\n", qPrintable(spoken.voice), qPrintable(spoken.text),
                    qPrintable(heard));
    }
    const double rate = double(errors) / total;
    std::printf("word error rate %.2f %% (%d of %d words)\n", 100 * rate, errors, total);
    return rate;
}

std::unique_ptr<PocketSphinxEngine>
preparedEngine(PocketSphinxEngine::DecoderSettings settings = {}, QString statePath = {}) {
    auto engine = std::make_unique<PocketSphinxEngine>(
        u"en-US"_s, PocketSphinxEngine::defaultModelDirectory(), settings, statePath);
    run(engine->prepare());
    return engine;
}

Samples silence(double seconds) {
    return Samples(std::size_t(16000 * seconds), 0.0f);
}

const Spoken kHello{u"thank you for your help with the project"_s, u"slt"_s};
const Spoken kOther{u"the quick brown fox jumps over the lazy dog"_s, u"rms"_s};

} // namespace

TEST(PocketSphinxEngine, RecognisesSpokenSentencesWithinTheErrorBound) {
    auto engine = preparedEngine();
    EXPECT_LE(errorRate(*engine, kSpeechSet, {}), kMaxSpeechSetErrorRate);
}

TEST(PocketSphinxEngine, SessionsKeepTheirOwnAudio) {
    auto engine = preparedEngine();
    const Samples& hello = SpokenAudio::of(kHello);
    const Samples& other = SpokenAudio::of(kOther);

    EXPECT_EQ(run(engine->finishUtterance()), u""_s) << "finishing without beginning";

    feed(*engine, other); // outside an utterance: dropped
    EXPECT_EQ(transcribe(*engine, hello), kHello.text);

    // Beginning again drops the first session's audio; finishing twice gives nothing more.
    run(engine->beginUtterance({}));
    feed(*engine, other);
    run(engine->beginUtterance({}));
    feed(*engine, hello);
    EXPECT_EQ(run(engine->finishUtterance()), kHello.text);
    EXPECT_EQ(run(engine->finishUtterance()), u""_s);

    // A cancelled utterance yields nothing and leaks nothing into the next one.
    run(engine->beginUtterance({}));
    feed(*engine, other);
    run(engine->cancelUtterance());
    EXPECT_EQ(run(engine->finishUtterance()), u""_s);
    feed(*engine, other);
    EXPECT_EQ(transcribe(*engine, silence(1)), u""_s);
}

TEST(PocketSphinxEngine, ChunksAtOtherRatesAreConverted) {
    auto engine = preparedEngine();
    const Samples& hello = SpokenAudio::of(kHello);
    // 48 kHz by holding each sample three times, 8 kHz by keeping every second one.
    Samples high;
    for (float sample : hello)
        high.insert(high.end(), 3, sample);
    Samples low;
    for (std::size_t i = 0; i < hello.size(); i += 2)
        low.push_back(hello[i]);

    const struct {
        const Samples* samples;
        double rate;
        double declared;
    } cases[] = {{&high, 48000, 48000}, {&low, 8000, 8000}, {&hello, 16000, 0}};
    for (const auto& c : cases) {
        run(engine->beginUtterance({}));
        feed(*engine, *c.samples, c.rate, c.declared);
        // Converted audio may cost a word or two (8 kHz has no upper band), never the sentence.
        EXPECT_LE(wordErrors(kHello.text, run(engine->finishUtterance())), 2)
            << "rate " << c.declared;
    }
    // Nonsense chunks are ignored rather than decoded.
    run(engine->beginUtterance({}));
    engine->append({{}, 16000});
    engine->append({Samples(1600, std::numeric_limits<float>::quiet_NaN()), 16000});
    engine->append({Samples(1600, 0.0f), -5});
    feed(*engine, hello);
    EXPECT_EQ(run(engine->finishUtterance()), kHello.text);
}

TEST(PocketSphinxEngine, AppendFromAnotherThreadWhileFinishingAndCancelling) {
    auto engine = preparedEngine();
    const Samples& hello = SpokenAudio::of(kHello);
    std::atomic<bool> stop{false};
    std::atomic<int> appended{0};
    std::thread capture([&] {
        std::size_t start = 0;
        while (!stop.load()) {
            const auto end = std::min(hello.size(), start + 1600);
            engine->append({Samples(hello.begin() + start, hello.begin() + end), 16000});
            start = end == hello.size() ? 0 : end;
            ++appended;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    for (int round = 0; round < 12; ++round) {
        run(engine->beginUtterance({u"lazy dog"_s}));
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        if (round % 3 == 2) {
            run(engine->cancelUtterance());
        } else {
            const QString heard = run(engine->finishUtterance());
            EXPECT_EQ(heard, heard.trimmed());
        }
    }
    stop = true;
    capture.join();
    EXPECT_GT(appended.load(), 0);
    // Everything the thread sent after the last session ended was dropped.
    EXPECT_EQ(transcribe(*engine, silence(0.5)), u""_s);
    EXPECT_EQ(transcribe(*engine, hello), kHello.text);
}

TEST(PocketSphinxEngine, PrepareRejectsOtherLanguagesAndMissingModels) {
    const QString model = PocketSphinxEngine::defaultModelDirectory();
    QTemporaryDir partial;
    QFile::copy(QDir(model).filePath(u"cmudict-en-us.dict"_s),
                partial.filePath(u"cmudict-en-us.dict"_s));

    const struct {
        QString locale;
        QString directory;
        std::optional<QuovantError::Kind> error;
    } cases[] = {
        {u"fr-FR"_s, model, QuovantError::Kind::localeUnsupported},
        {u"de"_s, model, QuovantError::Kind::localeUnsupported},
        {u""_s, model, QuovantError::Kind::localeUnsupported},
        {u"eng"_s, model, QuovantError::Kind::localeUnsupported},
        {u"en-US"_s, partial.path(), QuovantError::Kind::speechModelUnavailable},
        {u"en-GB"_s, partial.path() + u"/missing"_s, QuovantError::Kind::speechModelUnavailable},
        {u"en_GB"_s, model, std::nullopt},
        {u"EN"_s, model, std::nullopt},
    };
    for (const auto& c : cases) {
        PocketSphinxEngine engine(c.locale, c.directory, {});
        try {
            run(engine.prepare());
            EXPECT_FALSE(c.error) << c.locale.toStdString() << " was accepted";
        } catch (const QuovantError& error) {
            ASSERT_TRUE(c.error) << error.what();
            EXPECT_EQ(error.kind(), *c.error);
            if (error.kind() == QuovantError::Kind::localeUnsupported)
                EXPECT_EQ(error.payload(), c.locale);
            else
                EXPECT_TRUE(
                    error.description().contains(u"install the package pocketsphinx-en-us"_s))
                    << error.what();
        }
    }
}

TEST(PocketSphinxEngine, ConvertsSamplesTo16BitLikeTheWavEncoder) {
    const std::pair<float, qint16> cases[] = {
        {0.0f, 0},
        {0.5f, 16383},
        {-0.5f, -16383},
        {1.0f, 32767},
        {7.0f, 32767},
        {-1.0f, -32767},
        {-9.0f, -32767},
        {0.99999f, 32766},
        {std::numeric_limits<float>::quiet_NaN(), 32767},
        {-std::numeric_limits<float>::infinity(), -32767},
    };
    for (const auto& [sample, expected] : cases)
        EXPECT_EQ(PocketSphinxEngine::toPcm16(sample), expected) << sample;
}

namespace {

Samples scaled(Samples samples, float gain) {
    for (float& value : samples)
        value *= gain;
    return samples;
}

Samples whiteNoise(double seconds, double level) {
    std::mt19937 random(5);
    std::normal_distribution<float> noise(0, float(level));
    Samples samples(std::size_t(16000 * seconds));
    for (float& value : samples)
        value = noise(random);
    return samples;
}

Samples tone(double seconds, double frequency, float amplitude) {
    Samples samples(std::size_t(16000 * seconds));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = amplitude * float(std::sin(2 * M_PI * frequency * double(i) / 16000));
    return samples;
}

QTemporaryDir stateFolder;
const QString kState = stateFolder.filePath(u"pocketsphinx-cmn.json"_s);

std::vector<float> savedMean() {
    return CepstralMeanState::load(kState, 13).value_or(std::vector<float>());
}

// The engine saves after handing out the transcript; waits for a state other than `previous`.
std::vector<float> nextSavedMean(const std::vector<float>& previous) {
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
        const std::vector<float> mean = savedMean();
        if (!mean.empty() && mean != previous)
            return mean;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return savedMean();
}

} // namespace

TEST(PocketSphinxEngine, NoiseAndSilenceGiveNoWordsButQuietSpeechComesThrough) {
    auto engine = preparedEngine();
    Samples clicks(48000, 0.0f);
    for (std::size_t at = 1000; at + 200 < clicks.size(); at += 2700)
        for (std::size_t k = 0; k < 200; ++k)
            clicks[at + k] = float(0.5 * std::exp(-double(k) / 30) * ((k * 7919) % 13 - 6) / 6.0);
    const struct {
        const char* name;
        Samples samples;
    } noises[] = {
        {"white noise, quiet", whiteNoise(3, 0.01)},
        {"white noise, loud", whiteNoise(3, 0.2)},
        {"mains hum", tone(3, 50, 0.3f)},
        {"clicks", clicks},
        {"silence", silence(2)},
    };
    for (const auto& noise : noises)
        EXPECT_EQ(transcribe(*engine, noise.samples), u""_s) << noise.name;
    // Speech some 26 dB below the usual level still counts as speech.
    const QString quiet = transcribe(*engine, scaled(SpokenAudio::of(kOther), 0.05f));
    EXPECT_LE(wordErrors(kOther.text, quiet), 3) << quiet.toStdString();
}

TEST(PocketSphinxEngine, KeepsItsNormalisationAcrossRunsButLearnsNothingFromNoise) {
    const QString state = kState;
    QFile::remove(state);
    const Samples& hello = SpokenAudio::of(kHello);
    const Samples& other = SpokenAudio::of(kOther);

    auto first = preparedEngine({}, state);
    EXPECT_EQ(transcribe(*first, hello), kHello.text);
    const std::vector<float> afterHello = nextSavedMean({});
    ASSERT_EQ(afterHello.size(), 13U);
    EXPECT_EQ(quovant::testing::permissions(state), 0600);
    EXPECT_EQ(transcribe(*first, whiteNoise(3, 0.2)), u""_s);
    EXPECT_EQ(savedMean(), afterHello) << "noise changed the saved normalisation";
    transcribe(*first, other);
    const std::vector<float> continued = nextSavedMean(afterHello);
    first.reset();

    // A new run starts from where the last one stopped: after the same audio it ends far closer
    // to the engine that never stopped than an engine that starts from the stock values.
    const auto distance = [](const std::vector<float>& a, const std::vector<float>& b) {
        double sum = 0;
        for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
            sum += (a[i] - b[i]) * (a[i] - b[i]);
        return std::sqrt(sum);
    };
    const auto runFrom = [&](const QByteArray& saved) {
        quovant::testing::writeFile(state, saved);
        auto engine = preparedEngine({}, state);
        transcribe(*engine, other);
        return nextSavedMean(CepstralMeanState::load(state, 13).value_or(std::vector<float>()));
    };
    QJsonArray values;
    for (const float value : afterHello)
        values.append(double(value));
    const std::vector<float> restarted =
        runFrom(QJsonDocument(QJsonObject{{u"cepstralMean"_s, values}}).toJson());
    const std::vector<float> fresh = runFrom("{}");
    ASSERT_EQ(restarted.size(), 13U);
    ASSERT_EQ(fresh.size(), 13U);
    EXPECT_LT(distance(restarted, continued), distance(fresh, continued) / 2);

    // Damaged state is ignored, and the engine replaces it.
    const QByteArray damaged[] = {
        "not json",
        R"({"cepstralMean":[1,2,3]})",
        R"({"cepstralMean":[41,1,1,1,1,1,1,1,1,1,1,1,"x"]})",
        R"({"cepstralMean":[41,1,1,1,1,1,1,1,1,1,1,1,1e300]})",
        R"([41,1,1,1,1,1,1,1,1,1,1,1,1])",
    };
    for (const QByteArray& bytes : damaged) {
        quovant::testing::writeFile(state, bytes);
        EXPECT_FALSE(CepstralMeanState::load(state, 13)) << bytes.constData();
    }
    auto engine = preparedEngine({}, state);
    EXPECT_EQ(transcribe(*engine, hello), kHello.text);
    EXPECT_EQ(nextSavedMean({}).size(), 13U);
}

TEST(PocketSphinxEngine, TimesThePausesBetweenSentences) {
    auto engine = preparedEngine();
    QTemporaryDir dir;
    const QString path = dir.filePath(u"two.wav"_s);
    ASSERT_TRUE(quovant::testing::speakWithFlite(
        u"slt"_s, u"I called the plumber this morning. He will come on Tuesday."_s, path));
    const QString heard = transcribe(*engine, WavDecoder::decode(quovant::testing::readFile(path)).samples);
    const SpeechPauses pauses = engine->lastPauses();
    ASSERT_FALSE(pauses.isEmpty()) << heard.toStdString();
    const auto longest = std::max_element(pauses.begin(), pauses.end(), [](auto& a, auto& b) {
        return a.milliseconds < b.milliseconds;
    });
    EXPECT_GE(longest->milliseconds, DictationCleanup::kShortestSentencePause);
    EXPECT_EQ(words(heard).at(longest->wordsBefore - 1), u"morning"_s) << heard.toStdString();
    // A transcript without words has no pauses.
    transcribe(*engine, silence(1));
    EXPECT_TRUE(engine->lastPauses().isEmpty());
}

TEST(PocketSphinxEngine, VocabularyBringsItsTermsAndLeavesOtherUtterancesAlone) {
    const Spoken withTerm{u"please restart nginx after the upgrade"_s, u"slt"_s};
    const Spoken plain = kHello;
    const QStringList vocabulary = {u"nginx"_s, u"Terraform"_s, u"SpeechAnalyzer"_s,
                                    u"Priya Raman"_s};
    auto engine = preparedEngine();
    // Each utterance starts from the same normalisation, so only the vocabulary differs.
    const auto heard = [&](const Spoken& spoken, const QStringList& context) {
        engine->resetNormalisation();
        return transcribe(*engine, SpokenAudio::of(spoken), context);
    };
    const QString before = heard(withTerm, {});
    const QString plainBefore = heard(plain, {});
    EXPECT_FALSE(words(before).contains(u"nginx"_s)) << "pick a term the model cannot hear";

    EXPECT_EQ(heard(withTerm, vocabulary), withTerm.text);
    EXPECT_EQ(heard(plain, vocabulary), plain.text);
    // Another vocabulary replaces it; none brings the general model back unchanged.
    EXPECT_FALSE(words(heard(withTerm, {u"Kubernetes"_s})).contains(u"nginx"_s));
    EXPECT_EQ(heard(withTerm, {}), before);
    EXPECT_EQ(heard(plain, {}), plainBefore);
}

TEST(PocketSphinxEngine, ResetNormalisationStartsAgainFromTheStockValues) {
    // The decoder moves its estimate only after some eight seconds of speech.
    Samples speech;
    for (int i = 0; i < 2; ++i)
        for (const Spoken& spoken : {kHello, kOther})
            speech.insert(speech.end(), SpokenAudio::of(spoken).begin(),
                          SpokenAudio::of(spoken).end());
    QFile::remove(kState);
    auto engine = preparedEngine({}, kState);
    transcribe(*engine, speech);
    const std::vector<float> fromStock = nextSavedMean({});
    transcribe(*engine, speech);
    const std::vector<float> moved = nextSavedMean(fromStock);
    ASSERT_NE(moved, fromStock);
    engine->resetNormalisation();
    transcribe(*engine, speech);
    const std::vector<float> again = nextSavedMean(moved);
    transcribe(*engine, speech);
    const std::vector<float> continued = nextSavedMean(again);
    // The voice-activity filter keeps adapting, so the estimate is close, not equal, to the first.
    const auto distance = [](const std::vector<float>& a, const std::vector<float>& b) {
        double sum = 0;
        for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
            sum += (a[i] - b[i]) * (a[i] - b[i]);
        return std::sqrt(sum);
    };
    EXPECT_LT(distance(again, fromStock), distance(continued, fromStock) / 2);
}
