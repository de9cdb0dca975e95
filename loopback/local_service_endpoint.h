#pragma once

#include <QString>
#include <QUrl>

namespace quovant {

// The rule that the local HTTP services (Ollama, whisper server) live on the loopback
// interface. Pure and thread-safe.
class LocalServiceEndpoint {
public:
    static inline const QString kDefaultOllamaEndpoint = QStringLiteral("http://127.0.0.1:11434");
    static inline const QString kDefaultWhisperEndpoint = QStringLiteral("http://127.0.0.1:8080");

    // The candidate when it parses and is allowed, otherwise the fallback.
    static QUrl resolve(const QString& candidate, const QString& fallback);
    // True for an http or https URL without credentials whose host is a loopback name.
    static bool isAllowed(const QUrl& url);
};

} // namespace quovant
