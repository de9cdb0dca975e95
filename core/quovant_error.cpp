#include "core/quovant_error.h"

using namespace Qt::StringLiterals;

namespace quovant {

QuovantError::QuovantError(Kind kind, QString payload)
    : m_kind(kind), m_payload(std::move(payload)), m_what(description().toUtf8()) {}

QuovantError QuovantError::localeUnsupported(const QString& locale) {
    return QuovantError(Kind::localeUnsupported, locale);
}
QuovantError QuovantError::speechModelUnavailable(const QString& reason) {
    return QuovantError(Kind::speechModelUnavailable, reason);
}
QuovantError QuovantError::formatterUnavailable(const QString& reason) {
    return QuovantError(Kind::formatterUnavailable, reason);
}
QuovantError QuovantError::injectionFailed(const QString& reason) {
    return QuovantError(Kind::injectionFailed, reason);
}
QuovantError QuovantError::selectionUnavailable(const QString& role) {
    return QuovantError(Kind::selectionUnavailable, role);
}
QuovantError QuovantError::repositoryUnavailable(const QString& reason) {
    return QuovantError(Kind::repositoryUnavailable, reason);
}
QuovantError QuovantError::agentUnavailable(const QString& reason) {
    return QuovantError(Kind::agentUnavailable, reason);
}
QuovantError QuovantError::agentHandoffFailed(const QString& reason) {
    return QuovantError(Kind::agentHandoffFailed, reason);
}

QString QuovantError::description() const {
    switch (m_kind) {
    case Kind::localeUnsupported:
        return u"On-device speech recognition does not support "_s + m_payload + u"."_s;
    case Kind::speechModelUnavailable:
        return u"The speech model is unavailable: "_s + m_payload;
    case Kind::formatterUnavailable:
        return u"The formatting model is unavailable: "_s + m_payload;
    case Kind::injectionFailed:
        return u"Could not insert text: "_s + m_payload;
    case Kind::selectionUnavailable:
        return u"This app did not expose an editable text selection ("_s + m_payload + u")."_s;
    case Kind::repositoryUnavailable:
        return u"Could not identify a repository: "_s + m_payload + u"."_s;
    case Kind::agentUnavailable:
        return u"The coding agent is unavailable: "_s + m_payload + u"."_s;
    case Kind::agentHandoffFailed:
        return u"Could not hand off the prompt: "_s + m_payload + u"."_s;
    case Kind::noAudioInput:
        return u"No audio input device is available."_s;
    case Kind::audioFormatUnsupported:
        return u"Could not convert microphone audio to a format the recogniser accepts."_s;
    case Kind::microphoneDenied:
        return u"Microphone access was denied. Grant it in Settings › Privacy › Microphone."_s;
    case Kind::accessibilityDenied:
        return u"Accessibility access is required to watch the hotkey and paste text."_s;
    case Kind::formatterTimedOut:
        return u"Formatting exceeded its time budget."_s;
    case Kind::destinationChanged:
        return u"The destination app changed while you were speaking."_s;
    case Kind::noTextSelected:
        return u"Select text first, then hold the Edit in Place key."_s;
    case Kind::secureTextSelected:
        return u"Quovant never reads or edits password and secure-entry fields."_s;
    case Kind::selectionChanged:
        return u"The selection changed while you were speaking. Nothing was replaced."_s;
    }
    return {};
}

} // namespace quovant
