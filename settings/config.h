#pragma once

#include "core/forward.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace quovant {

// Declaration order matters: key conflicts are resolved by the first case that is free.
enum class PushToTalkKey { rightOption, rightCommand, fn };
enum class AsrKind { appleSpeech, whisperServer };
enum class FormatterKind { appleFoundation, ollama, none };
enum class PromptDestination { focusedApp, codex, claude };

inline constexpr std::array kAllPushToTalkKeys = {PushToTalkKey::rightOption,
                                                  PushToTalkKey::rightCommand, PushToTalkKey::fn};

// The raw strings stored in config.json, and their parsers (absent for an unknown string).
QString rawValue(PushToTalkKey key);
QString rawValue(AsrKind kind);
QString rawValue(FormatterKind kind);
QString rawValue(PromptDestination destination);
std::optional<PushToTalkKey> parsePushToTalkKey(const QString& raw);
std::optional<AsrKind> parseAsrKind(const QString& raw);
std::optional<FormatterKind> parseFormatterKind(const QString& raw);
std::optional<PromptDestination> parsePromptDestination(const QString& raw);

// A style instruction for the applications whose identifier starts with a prefix.
struct AppRule {
    QString bundleIDPrefix;
    QString styleInstruction;

    friend bool operator==(const AppRule&, const AppRule&) = default;
};

// The settings record, persisted as config.json in the data directory. A value type: copy it
// freely. Loading never fails; each bad key falls back to its own default.
struct Config {
    PushToTalkKey pushToTalkKey = PushToTalkKey::rightOption;
    PushToTalkKey editKey = PushToTalkKey::rightCommand;
    PushToTalkKey promptKey = PushToTalkKey::fn;
    bool repositoryContextEnabled = true;
    std::optional<QString> pinnedRepositoryPath;
    PromptDestination promptDestination = PromptDestination::focusedApp;
    AsrKind asr = AsrKind::appleSpeech;
    FormatterKind formatter = FormatterKind::appleFoundation;
    QString ollamaModel = QStringLiteral("qwen3.5:latest");
    QString ollamaEndpoint = QStringLiteral("http://127.0.0.1:11434");
    QString whisperEndpoint = QStringLiteral("http://127.0.0.1:8080");
    QString locale = QStringLiteral("en-US");
    bool voiceProcessingEnabled = true;
    std::optional<QStringList> captureCommand;
    int formatterTimeoutMS = 2500;
    int maximumRecordingSeconds = 180;
    double guardMinContentRetention = 0.6;
    double guardMaxLengthRatio = 2.5;
    int guardMinWordsForLLM = 2;
    bool retainAudio = false;
    bool retainHistory = false;
    bool learnVocabulary = true;
    bool playSounds = true;
    bool showOverlay = true;
    bool didCompleteOnboarding = false;
    bool launchAtLogin = false;
    QList<AppRule> appRules = defaultAppRules();

    friend bool operator==(const Config&, const Config&) = default;

    static QList<AppRule> defaultAppRules();

    // Reads the settings file; a missing file is created with defaults, a damaged one is set
    // aside as config.invalid.json (logged) and replaced by defaults.
    static Config load(const QString& path);
    // Reads the settings file without changing anything on disk: a missing, damaged or unusable
    // file gives defaults in memory and stays as it is (for checks that must not touch the
    // user's data, such as `transcribe`).
    static Config read(const QString& path);
    // Writes indented JSON with sorted keys atomically, permissions 0600. Failures are ignored.
    void save(const QString& path) const;

    // Absent unless `bytes` hold a JSON object; within one, every key decodes independently.
    static std::optional<Config> decode(const QByteArray& bytes);
    static Config fromJson(const QJsonObject& object);
    QJsonObject toJson() const;
    // Indented JSON with sorted keys, as saved.
    QByteArray encode() const;

    // The instruction of the rule with the longest prefix of `bundleID`; the earliest wins ties.
    std::optional<QString> styleInstruction(const std::optional<QString>& bundleID) const;
    // The overall limit in milliseconds for a formatter call whose own budget is `base`.
    int formatterTimeoutCeiling(int base) const;
};

} // namespace quovant
