#pragma once

#include <QString>
#include <QByteArray>
#include <exception>

namespace quovant {

// The program's error: a kind and, for some kinds, a payload inserted into its user-facing text.
// Thrown by port operations and engines; `description()` is shown verbatim to the user.
class QuovantError : public std::exception {
public:
    enum class Kind {
        localeUnsupported,
        speechModelUnavailable,
        formatterUnavailable,
        injectionFailed,
        selectionUnavailable,
        repositoryUnavailable,
        agentUnavailable,
        agentHandoffFailed,
        noAudioInput,
        audioFormatUnsupported,
        microphoneDenied,
        accessibilityDenied,
        formatterTimedOut,
        destinationChanged,
        noTextSelected,
        secureTextSelected,
        selectionChanged,
    };

    explicit QuovantError(Kind kind, QString payload = {});

    static QuovantError localeUnsupported(const QString& locale);
    static QuovantError speechModelUnavailable(const QString& reason);
    static QuovantError formatterUnavailable(const QString& reason);
    static QuovantError injectionFailed(const QString& reason);
    static QuovantError selectionUnavailable(const QString& role);
    static QuovantError repositoryUnavailable(const QString& reason);
    static QuovantError agentUnavailable(const QString& reason);
    static QuovantError agentHandoffFailed(const QString& reason);

    Kind kind() const { return m_kind; }
    const QString& payload() const { return m_payload; }
    QString description() const;
    const char* what() const noexcept override { return m_what.constData(); }

    bool operator==(const QuovantError& other) const {
        return m_kind == other.m_kind && m_payload == other.m_payload;
    }

private:
    Kind m_kind;
    QString m_payload;
    QByteArray m_what;
};

} // namespace quovant
