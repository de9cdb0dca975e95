#pragma once

#include <QByteArrayView>
#include <QString>

#include <exception>
#include <vector>

namespace quovant {

// A 16-bit PCM RIFF/WAVE image to mono float samples (channels averaged) and the file's rate.
// Stateless and thread-safe; touches no files. Any input ends in a result or a DecodeError.
namespace WavDecoder {

struct Decoded {
    std::vector<float> samples;
    double sampleRate = 0;

    bool operator==(const Decoded&) const = default;
};

// Why a buffer was rejected; `description()` is the text shown to the user.
class DecodeError : public std::exception {
public:
    enum class Kind { unsupported, tooShort, notRIFF, notWAVE, noFmtChunk, noDataChunk };

    explicit DecodeError(Kind kind, QString detail = {});
    static DecodeError unsupported(const QString& detail) {
        return DecodeError(Kind::unsupported, detail);
    }

    Kind kind() const { return m_kind; }
    // Only `unsupported` carries one.
    const QString& detail() const { return m_detail; }
    QString description() const;
    const char* what() const noexcept override { return m_what.constData(); }

    bool operator==(const DecodeError& other) const {
        return m_kind == other.m_kind && m_detail == other.m_detail;
    }

private:
    Kind m_kind;
    QString m_detail;
    QByteArray m_what;
};

// Throws DecodeError; nothing is returned partially.
Decoded decode(QByteArrayView bytes);

} // namespace WavDecoder
} // namespace quovant
