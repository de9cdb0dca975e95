#include "speech/wav_decoder.h"
#include "speech/wav_encoder.h"

#include <QtEndian>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;
using namespace quovant;
using Kind = WavDecoder::DecodeError::Kind;

namespace {

QByteArray le16(quint16 value) {
    QByteArray out(2, Qt::Uninitialized);
    qToLittleEndian(value, out.data());
    return out;
}
QByteArray le32(quint32 value) {
    QByteArray out(4, Qt::Uninitialized);
    qToLittleEndian(value, out.data());
    return out;
}

// One chunk; the declared size defaults to the body's, padded to even length like a writer would.
QByteArray chunk(const char* tag, const QByteArray& body, std::optional<quint32> declared = {}) {
    QByteArray out = QByteArray(tag, 4) + le32(declared.value_or(quint32(body.size()))) + body;
    if (!declared && body.size() % 2 == 1) {
        out += '\0';
    }
    return out;
}

QByteArray fmt(quint16 code, quint16 channels, quint32 rate, quint16 bits) {
    return chunk("fmt ", le16(code) + le16(channels) + le32(rate) + le32(rate * 2) +
                             le16(channels * bits / 8) + le16(bits));
}

QByteArray pcm(std::initializer_list<qint16> values) {
    QByteArray out;
    for (const qint16 v : values) {
        out += le16(quint16(v));
    }
    return out;
}

QByteArray riff(const QByteArray& chunks) {
    return "RIFF" + le32(4 + chunks.size()) + "WAVE" + chunks;
}

WavDecoder::DecodeError decodeError(const QByteArray& bytes) {
    try {
        WavDecoder::decode(bytes);
    } catch (const WavDecoder::DecodeError& error) {
        return error;
    }
    ADD_FAILURE() << "decoded without error";
    return WavDecoder::DecodeError(Kind::tooShort, u"<none>"_s);
}

std::vector<qint16> encodedSamples(const QByteArray& bytes) {
    std::vector<qint16> out;
    for (qsizetype at = 44; at + 2 <= bytes.size(); at += 2) {
        out.push_back(qFromLittleEndian<qint16>(bytes.constData() + at));
    }
    return out;
}

} // namespace

TEST(WavEncoder, WritesTheFixedHeaderByteForByte) {
    const std::vector<float> samples = {0.0f, 0.5f, -1.0f};
    const QByteArray bytes = WavEncoder::encode(samples, 16000.0);
    const QByteArray expected = QByteArray::fromHex("52494646" // RIFF
                                                    "2a000000" // 6 + 36
                                                    "57415645" // WAVE
                                                    "666d7420" // "fmt "
                                                    "10000000" // 16
                                                    "0100"     // PCM
                                                    "0100"     // mono
                                                    "803e0000" // 16000
                                                    "007d0000" // 32000
                                                    "0200"     // block align
                                                    "1000"     // 16 bits
                                                    "64617461" // data
                                                    "06000000" // 6
                                                    "0000"
                                                    "ff3f"   // 16383
                                                    "0180"); // -32767
    EXPECT_EQ(bytes.toHex(), expected.toHex());
}

TEST(WavEncoder, EmptyRecordingIsABareHeader) {
    const QByteArray bytes = WavEncoder::encode({}, 16000.0);
    ASSERT_EQ(bytes.size(), 44);
    EXPECT_EQ(qFromLittleEndian<quint32>(bytes.constData() + 4), 36u);
    EXPECT_EQ(qFromLittleEndian<quint32>(bytes.constData() + 40), 0u);
}

TEST(WavEncoder, ClipsAndTruncatesTowardZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> samples = {1.5f, -1.5f, 1.0f, -1.0f,    0.5f,      -0.5f,  nan,
                                        inf,  -inf,  0.0f, 0.99999f, -0.00001f, 1e-30f, 0.25f};
    const std::vector<qint16> expected = {32767, -32767, 32767, -32767, 16383, -16383, 32767,
                                          32767, -32767, 0,     32766,  0,     0,      8191};
    EXPECT_EQ(encodedSamples(WavEncoder::encode(samples, 8000.0)), expected);
}

TEST(WavEncoder, TruncatesTheRateToWholeHertz) {
    const struct {
        double rate;
        quint32 written;
    } cases[] = {{44100.9, 44100}, {1.0, 1}, {2147483647.9, 2147483647u}};
    for (const auto& c : cases) {
        const QByteArray bytes = WavEncoder::encode(std::vector<float>{0.1f}, c.rate);
        EXPECT_EQ(qFromLittleEndian<quint32>(bytes.constData() + 24), c.written) << c.rate;
        EXPECT_EQ(qFromLittleEndian<quint32>(bytes.constData() + 28), c.written * 2) << c.rate;
    }
}

TEST(WavEncoder, RejectsWhatNoHeaderCanHold) {
    // Both size fields of the largest recording still fit in 32 bits.
    EXPECT_LE(WavEncoder::kMaxSamples * 2 + 36, std::uint64_t{0xFFFFFFFF});
    // One more is refused before any sample is read, so no real buffer is needed.
    const float one = 0.0f;
    const std::span<const float> tooMany(&one, std::size_t(WavEncoder::kMaxSamples + 1));
    EXPECT_THROW(WavEncoder::encode(tooMany, 16000), std::invalid_argument);

    const std::vector<float> samples = {0.1f};
    for (const double rate :
         {0.0, 0.999, -16000.0, 2147483648.0, 1e300, std::numeric_limits<double>::quiet_NaN(),
          std::numeric_limits<double>::infinity()}) {
        EXPECT_THROW(WavEncoder::encode(samples, rate), std::invalid_argument) << rate;
    }
}

TEST(WavCodec, RoundTripKeepsRateAndSamplesWithinOneStep) {
    std::vector<float> samples;
    for (int i = 0; i < 1000; ++i) {
        samples.push_back(float(std::sin(i * 0.05) * 0.8));
    }
    const auto decoded = WavDecoder::decode(WavEncoder::encode(samples, 22050.0));
    EXPECT_EQ(decoded.sampleRate, 22050.0);
    ASSERT_EQ(decoded.samples.size(), samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        EXPECT_NEAR(decoded.samples[i], samples[i], 2.0 / 32768) << i;
    }
}

TEST(WavDecoder, DescriptionsAreTheUserFacingTexts) {
    const std::pair<WavDecoder::DecodeError, QString> cases[] = {
        {WavDecoder::DecodeError::unsupported(u"x"_s), u"unsupported WAV: x"_s},
        {WavDecoder::DecodeError(Kind::tooShort), u"file is too short to be a WAV"_s},
        {WavDecoder::DecodeError(Kind::notRIFF), u"missing RIFF header"_s},
        {WavDecoder::DecodeError(Kind::notWAVE), u"not a WAVE file"_s},
        {WavDecoder::DecodeError(Kind::noFmtChunk), u"no fmt chunk"_s},
        {WavDecoder::DecodeError(Kind::noDataChunk), u"no data chunk"_s},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.description(), text);
        EXPECT_STREQ(error.what(), text.toUtf8().constData());
    }
}

TEST(WavDecoder, RejectsMalformedFilesWithTheRightError) {
    const QByteArray mono = fmt(1, 1, 16000, 16);
    const QByteArray one = chunk("data", pcm({100}));
    QByteArray notRiff = riff(mono + one);
    notRiff[3] = 'X';
    QByteArray nonAscii = riff(mono + one);
    nonAscii[0] = char(0xD2);
    QByteArray notWave = riff(mono + one);
    notWave[11] = 'X';
    const QByteArray headerOnly = WavEncoder::encode({}, 16000.0);

    const struct {
        const char* name;
        QByteArray bytes;
        WavDecoder::DecodeError error;
    } cases[] = {
        {"empty", {}, WavDecoder::DecodeError(Kind::tooShort)},
        {"bare header", headerOnly, WavDecoder::DecodeError(Kind::tooShort)},
        {"not RIFF", notRiff, WavDecoder::DecodeError(Kind::notRIFF)},
        {"non-ASCII tag", nonAscii, WavDecoder::DecodeError(Kind::notRIFF)},
        {"not WAVE", notWave, WavDecoder::DecodeError(Kind::notWAVE)},
        {"data only", riff(chunk("data", pcm({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}))),
         WavDecoder::DecodeError(Kind::noFmtChunk)},
        {"fmt cut short at the end", riff(mono + one + "fmt " + le32(16) + "\x01\x00"),
         WavDecoder::DecodeError(Kind::noFmtChunk)},
        {"float", riff(fmt(3, 1, 16000, 32) + one),
         WavDecoder::DecodeError::unsupported(u"format 3 is not PCM"_s)},
        {"extensible", riff(fmt(0xFFFE, 2, 48000, 16) + one),
         WavDecoder::DecodeError::unsupported(u"format 65534 is not PCM"_s)},
        {"PCM then float", riff(mono + one + fmt(3, 1, 16000, 32)),
         WavDecoder::DecodeError::unsupported(u"format 3 is not PCM"_s)},
        {"24-bit", riff(fmt(1, 1, 16000, 24) + chunk("data", QByteArray(6, '\1'))),
         WavDecoder::DecodeError::unsupported(u"24-bit samples (only 16-bit supported)"_s)},
        {"no data, odd depth", riff(fmt(1, 1, 16000, 24) + chunk("LIST", QByteArray(9, 'x'))),
         WavDecoder::DecodeError(Kind::noDataChunk)},
        {"chunk larger than memory", riff(chunk("LIST", {}, 0xFFFFFFFFu) + mono + one),
         WavDecoder::DecodeError(Kind::noFmtChunk)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeError(c.bytes).description(), c.error.description()) << c.name;
    }
}

TEST(WavDecoder, DecodesLayoutsItMeetsInTheWild) {
    const QByteArray mono = fmt(1, 1, 16000, 16);
    const struct {
        const char* name;
        QByteArray bytes;
        std::vector<float> samples;
        double rate;
    } cases[] = {
        {"one sample, 46 bytes", riff(mono + chunk("data", pcm({16384}))), {0.5f}, 16000},
        {"full scale",
         riff(mono + chunk("data", pcm({32767, -32768}))),
         {32767.0f / 32768.0f, -1.0f},
         16000},
        {"stereo mean",
         riff(fmt(1, 2, 44100, 16) + chunk("data", pcm({16384, 8192, 16384, -16384}))),
         {0.375f, 0.0f},
         44100},
        {"zero channels read as one",
         riff(fmt(1, 0, 8000, 16) + chunk("data", pcm({8192, 4096}))),
         {0.25f, 0.125f},
         8000},
        {"trailing odd byte ignored",
         riff(mono + chunk("data", pcm({8192}) + "\x7f")),
         {0.25f},
         16000},
        {"partial last frame ignored",
         riff(fmt(1, 3, 8000, 16) + chunk("data", pcm({3072, 3072, 3072, 1000, 2000}))),
         {0.09375f},
         8000},
        {"odd LIST before fmt",
         riff(chunk("LIST", "abc") + mono + chunk("data", pcm({-8192}))),
         {-0.25f},
         16000},
        {"declared size past the end",
         riff(mono + chunk("data", pcm({8192, 4096}), 4000)),
         {0.25f, 0.125f},
         16000},
        {"size 4 GiB - 1 on data",
         riff(mono + chunk("data", pcm({8192}), 0xFFFFFFFFu)),
         {0.25f},
         16000},
        {"later fmt and data win",
         riff(fmt(1, 1, 8000, 24) + chunk("data", pcm({1, 2})) + fmt(1, 1, 22050, 16) +
              chunk("fact", le32(7)) + chunk("data", pcm({4096}))),
         {0.125f},
         22050},
        {"empty data chunk", riff(mono + chunk("data", {}) + chunk("LIST", "x")), {}, 16000},
    };
    for (const auto& c : cases) {
        try {
            const auto decoded = WavDecoder::decode(c.bytes);
            EXPECT_EQ(decoded.samples, c.samples) << c.name;
            EXPECT_EQ(decoded.sampleRate, c.rate) << c.name;
        } catch (const WavDecoder::DecodeError& error) {
            ADD_FAILURE() << c.name << ": " << error.what();
        }
    }
}
