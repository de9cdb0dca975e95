#include "settings/config.h"

#include "core/unicode_text.h"
#include "loopback/local_service_endpoint.h"
#include "settings/data_file.h"
#include "settings/log.h"
#include "settings/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <limits>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

// A real settings file is a few kilobytes; anything past this is not one.
constexpr qint64 kMaximumFileBytes = 4 * 1024 * 1024;

template <typename E, size_t N>
std::optional<E> parseRaw(const QString& raw, const std::array<E, N>& cases) {
    for (E value : cases) {
        if (rawValue(value) == raw) {
            return value;
        }
    }
    return std::nullopt;
}

template <typename T> using Parser = std::optional<T> (*)(const QJsonValue&);

std::optional<bool> readBool(const QJsonValue& value) {
    return value.isBool() ? std::optional(value.toBool()) : std::nullopt;
}

std::optional<QString> readString(const QJsonValue& value) {
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}

// Infinity cannot be written back as JSON, so only finite numbers are values.
std::optional<double> readDouble(const QJsonValue& value) {
    if (!value.isDouble() || !std::isfinite(value.toDouble())) {
        return std::nullopt;
    }
    return value.toDouble();
}

// Whole numbers only; beyond the range of int they saturate rather than wrap.
std::optional<int> readInteger(const QJsonValue& value) {
    if (!value.isDouble()) {
        return std::nullopt;
    }
    const double number = value.toDouble();
    if (std::isnan(number) || (std::isfinite(number) && std::trunc(number) != number)) {
        return std::nullopt;
    }
    if (number >= static_cast<double>(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    if (number <= static_cast<double>(std::numeric_limits<int>::min())) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(number);
}

std::optional<QStringList> readStringList(const QJsonValue& value) {
    if (!value.isArray()) {
        return std::nullopt;
    }
    QStringList list;
    for (const QJsonValue& element : value.toArray()) {
        if (!element.isString()) {
            return std::nullopt;
        }
        list.append(element.toString());
    }
    return list;
}

std::optional<QList<AppRule>> readAppRules(const QJsonValue& value) {
    if (!value.isArray()) {
        return std::nullopt;
    }
    QList<AppRule> rules;
    for (const QJsonValue& element : value.toArray()) {
        const QJsonObject object = element.toObject();
        const auto prefix = readString(object.value(u"bundleIDPrefix"_s));
        const auto instruction = readString(object.value(u"styleInstruction"_s));
        if (!element.isObject() || !prefix || !instruction) {
            return std::nullopt;
        }
        rules.append(AppRule{*prefix, *instruction});
    }
    return rules;
}

template <typename E> std::optional<E> readEnum(const QJsonValue& value) {
    const auto raw = readString(value);
    if (!raw) {
        return std::nullopt;
    }
    if constexpr (std::is_same_v<E, PushToTalkKey>) {
        return parsePushToTalkKey(*raw);
    } else if constexpr (std::is_same_v<E, AsrKind>) {
        return parseAsrKind(*raw);
    } else if constexpr (std::is_same_v<E, FormatterKind>) {
        return parseFormatterKind(*raw);
    } else {
        return parsePromptDestination(*raw);
    }
}

template <typename T, typename Read>
void readInto(const QJsonObject& object, const QString& key, T& field, Read read) {
    if (auto value = read(object.value(key))) {
        field = std::move(*value);
    }
}

// Optional keys: JSON null and a mistyped value both leave them absent.
template <typename T, typename Read>
void readOptional(const QJsonObject& object, const QString& key, std::optional<T>& field,
                  Read read) {
    field = read(object.value(key));
}

PushToTalkKey firstKeyDifferentFrom(PushToTalkKey a, PushToTalkKey b) {
    for (PushToTalkKey key : kAllPushToTalkKeys) {
        if (key != a && key != b) {
            return key;
        }
    }
    return a; // unreachable with three cases
}

QString resolvedEndpoint(const QString& text, const QString& fallback) {
    return LocalServiceEndpoint::resolve(text, fallback).toString(QUrl::FullyEncoded);
}

struct ReadResult {
    bool readable = false;
    QByteArray bytes;
};

ReadResult readSettingsFile(const QString& path) {
    // Only a regular file is read: opening a FIFO would block start-up, and a device could be
    // endless.
    DataFile::Read read = DataFile::readRegular(path, kMaximumFileBytes);
    if (read.status != DataFile::Read::Status::Read) {
        return {};
    }
    return {true, std::move(read.bytes)};
}

bool existsWithoutFollowing(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

bool isDanglingLink(const QString& path) {
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info {};
    return ::lstat(encoded.constData(), &info) == 0 && S_ISLNK(info.st_mode) &&
           ::stat(encoded.constData(), &info) != 0 && errno == ENOENT;
}

bool isDirectoryWithoutFollowing(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Written to a private temporary file beside the target and renamed over it, so readers see the
// old or the new settings, never a mixture, and the content is never readable by others.
void writeAtomically(const QString& path, const QByteArray& bytes) {
    const QFileInfo target(path);
    Paths::makePrivateDirectory(target.absolutePath());
    DataFile::writeAtomically(target.absoluteFilePath(), bytes);
}

} // namespace

QString rawValue(PushToTalkKey key) {
    switch (key) {
    case PushToTalkKey::rightOption:
        return u"rightOption"_s;
    case PushToTalkKey::rightCommand:
        return u"rightCommand"_s;
    case PushToTalkKey::fn:
        return u"fn"_s;
    }
    return {};
}

QString rawValue(AsrKind kind) {
    switch (kind) {
    case AsrKind::appleSpeech:
        return u"appleSpeech"_s;
    case AsrKind::whisperServer:
        return u"whisperServer"_s;
    }
    return {};
}

QString rawValue(FormatterKind kind) {
    switch (kind) {
    case FormatterKind::appleFoundation:
        return u"appleFoundation"_s;
    case FormatterKind::ollama:
        return u"ollama"_s;
    case FormatterKind::none:
        return u"none"_s;
    }
    return {};
}

QString rawValue(PromptDestination destination) {
    switch (destination) {
    case PromptDestination::focusedApp:
        return u"focusedApp"_s;
    case PromptDestination::codex:
        return u"codex"_s;
    case PromptDestination::claude:
        return u"claude"_s;
    }
    return {};
}

std::optional<PushToTalkKey> parsePushToTalkKey(const QString& raw) {
    return parseRaw(raw, kAllPushToTalkKeys);
}

std::optional<AsrKind> parseAsrKind(const QString& raw) {
    return parseRaw(raw, std::array{AsrKind::appleSpeech, AsrKind::whisperServer});
}

std::optional<FormatterKind> parseFormatterKind(const QString& raw) {
    return parseRaw(raw, std::array{FormatterKind::appleFoundation, FormatterKind::ollama,
                                    FormatterKind::none});
}

std::optional<PromptDestination> parsePromptDestination(const QString& raw) {
    return parseRaw(raw, std::array{PromptDestination::focusedApp, PromptDestination::codex,
                                    PromptDestination::claude});
}

QList<AppRule> Config::defaultAppRules() {
    // Linux windows report an application id (`_GTK_APPLICATION_ID`) or a `WM_CLASS` class, and
    // a prefix covers families (`jetbrains-idea`, `jetbrains-pycharm`).
    const QString chat = u"Casual team-chat tone. Keep it brief. No greeting or sign-off."_s;
    const QString mail = u"Professional email prose. Complete sentences and paragraphs."_s;
    const QString message = u"Casual text message. Short. Contractions are fine."_s;
    const QString editor =
        u"Technical tone. Preserve code identifiers, file paths and symbols exactly as spoken."_s;
    const QString terminal =
        u"Technical tone. Preserve commands, flags and paths exactly as spoken."_s;
    QList<AppRule> rules;
    const auto add = [&rules](std::initializer_list<const char16_t*> prefixes,
                              const QString& style) {
        for (const char16_t* prefix : prefixes) {
            rules.append({QString::fromUtf16(prefix), style});
        }
    };
    add({u"Slack", u"com.slack.Slack", u"discord", u"com.discordapp.Discord", u"Element",
         u"im.riot.Riot", u"Mattermost", u"Microsoft Teams"},
        chat);
    add({u"thunderbird", u"org.mozilla.Thunderbird", u"Evolution", u"org.gnome.Evolution",
         u"Geary", u"org.gnome.Geary", u"kmail", u"org.kde.kmail2"},
        mail);
    add({u"Signal", u"org.signal.Signal", u"TelegramDesktop", u"org.telegram.desktop",
         u"whatsapp"},
        message);
    add({u"Code", u"code-oss", u"VSCodium", u"com.visualstudio.code", u"jetbrains-",
         u"dev.zed.Zed", u"Sublime_text", u"Emacs", u"Gvim", u"org.kde.kate"},
        editor);
    add({u"XTerm", u"UXTerm", u"URxvt", u"org.gnome.Terminal", u"gnome-terminal",
         u"org.gnome.Console", u"org.gnome.Ptyxis", u"konsole", u"org.kde.konsole", u"kitty",
         u"Alacritty", u"org.wezfurlong.wezterm", u"Xfce4-terminal", u"Tilix",
         u"com.gexperts.Tilix", u"Terminator", u"foot", u"st-256color", u"Ghostty",
         u"com.mitchellh.ghostty"},
        terminal);
    return rules;
}

Config Config::fromJson(const QJsonObject& object) {
    Config config;
    readInto(object, u"pushToTalkKey"_s, config.pushToTalkKey, readEnum<PushToTalkKey>);
    readInto(object, u"editKey"_s, config.editKey, readEnum<PushToTalkKey>);
    if (config.editKey == config.pushToTalkKey) {
        config.editKey = firstKeyDifferentFrom(config.pushToTalkKey, config.pushToTalkKey);
    }
    readInto(object, u"promptKey"_s, config.promptKey, readEnum<PushToTalkKey>);
    if (config.promptKey == config.pushToTalkKey || config.promptKey == config.editKey) {
        config.promptKey = firstKeyDifferentFrom(config.pushToTalkKey, config.editKey);
    }
    readInto(object, u"repositoryContextEnabled"_s, config.repositoryContextEnabled, readBool);
    readOptional(object, u"pinnedRepositoryPath"_s, config.pinnedRepositoryPath, readString);
    readInto(object, u"promptDestination"_s, config.promptDestination, readEnum<PromptDestination>);
    readInto(object, u"asr"_s, config.asr, readEnum<AsrKind>);
    readInto(object, u"formatter"_s, config.formatter, readEnum<FormatterKind>);
    readInto(object, u"ollamaModel"_s, config.ollamaModel, readString);
    readInto(object, u"ollamaEndpoint"_s, config.ollamaEndpoint, readString);
    config.ollamaEndpoint =
        resolvedEndpoint(config.ollamaEndpoint, LocalServiceEndpoint::kDefaultOllamaEndpoint);
    readInto(object, u"whisperEndpoint"_s, config.whisperEndpoint, readString);
    config.whisperEndpoint =
        resolvedEndpoint(config.whisperEndpoint, LocalServiceEndpoint::kDefaultWhisperEndpoint);
    readInto(object, u"locale"_s, config.locale, readString);
    readInto(object, u"voiceProcessingEnabled"_s, config.voiceProcessingEnabled, readBool);
    readOptional(object, u"captureCommand"_s, config.captureCommand, readStringList);
    if (auto timeout = readInteger(object.value(u"formatterTimeoutMS"_s))) {
        config.formatterTimeoutMS = std::clamp(*timeout, 250, 15000);
    }
    if (auto seconds = readInteger(object.value(u"maximumRecordingSeconds"_s))) {
        config.maximumRecordingSeconds = std::clamp(*seconds, 60, 300);
    }
    readInto(object, u"guardMinContentRetention"_s, config.guardMinContentRetention, readDouble);
    readInto(object, u"guardMaxLengthRatio"_s, config.guardMaxLengthRatio, readDouble);
    readInto(object, u"guardMinWordsForLLM"_s, config.guardMinWordsForLLM, readInteger);
    readInto(object, u"retainAudio"_s, config.retainAudio, readBool);
    readInto(object, u"retainHistory"_s, config.retainHistory, readBool);
    readInto(object, u"learnVocabulary"_s, config.learnVocabulary, readBool);
    readInto(object, u"playSounds"_s, config.playSounds, readBool);
    readInto(object, u"showOverlay"_s, config.showOverlay, readBool);
    readInto(object, u"didCompleteOnboarding"_s, config.didCompleteOnboarding, readBool);
    readInto(object, u"launchAtLogin"_s, config.launchAtLogin, readBool);
    readInto(object, u"appRules"_s, config.appRules, readAppRules);
    return config;
}

namespace {

// The text with every number a double cannot hold, too large or too small (which the JSON parser
// refuses, failing the whole document), replaced by null, so such a value costs only its own key. Linear.
QByteArray withOversizedNumbersAsNull(const QByteArray& bytes) {
    QByteArray result;
    result.reserve(bytes.size());
    const qsizetype size = bytes.size();
    const auto isNumberChar = [](char c) {
        return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
    };
    bool inString = false;
    for (qsizetype i = 0; i < size;) {
        const char c = bytes[i];
        if (inString) {
            result.append(c);
            if (c == '\\' && i + 1 < size) {
                result.append(bytes[i + 1]);
                i += 2;
                continue;
            }
            inString = c != '"';
            ++i;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            qsizetype end = i;
            while (end < size && isNumberChar(bytes[end])) {
                ++end;
            }
            const std::string token(bytes.constData() + i, size_t(end - i));
            errno = 0;
            const double value = std::strtod(token.c_str(), nullptr);
            const bool unrepresentable = std::isinf(value) || errno == ERANGE;
            result.append(unrepresentable ? QByteArray("null") : bytes.mid(i, end - i));
            i = end;
            continue;
        }
        result.append(c);
        ++i;
    }
    return result;
}

} // namespace

std::optional<Config> Config::decode(const QByteArray& bytes) {
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error == QJsonParseError::IllegalNumber) {
        document = QJsonDocument::fromJson(withOversizedNumbersAsNull(bytes), &error);
    }
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    return fromJson(document.object());
}

QJsonObject Config::toJson() const {
    QJsonObject object;
    object.insert(u"pushToTalkKey"_s, rawValue(pushToTalkKey));
    object.insert(u"editKey"_s, rawValue(editKey));
    object.insert(u"promptKey"_s, rawValue(promptKey));
    object.insert(u"repositoryContextEnabled"_s, repositoryContextEnabled);
    if (pinnedRepositoryPath) {
        object.insert(u"pinnedRepositoryPath"_s, *pinnedRepositoryPath);
    }
    object.insert(u"promptDestination"_s, rawValue(promptDestination));
    object.insert(u"asr"_s, rawValue(asr));
    object.insert(u"formatter"_s, rawValue(formatter));
    object.insert(u"ollamaModel"_s, ollamaModel);
    object.insert(u"ollamaEndpoint"_s, ollamaEndpoint);
    object.insert(u"whisperEndpoint"_s, whisperEndpoint);
    object.insert(u"locale"_s, locale);
    object.insert(u"voiceProcessingEnabled"_s, voiceProcessingEnabled);
    if (captureCommand) {
        object.insert(u"captureCommand"_s, QJsonArray::fromStringList(*captureCommand));
    }
    object.insert(u"formatterTimeoutMS"_s, formatterTimeoutMS);
    object.insert(u"maximumRecordingSeconds"_s, maximumRecordingSeconds);
    object.insert(u"guardMinContentRetention"_s, guardMinContentRetention);
    object.insert(u"guardMaxLengthRatio"_s, guardMaxLengthRatio);
    object.insert(u"guardMinWordsForLLM"_s, guardMinWordsForLLM);
    object.insert(u"retainAudio"_s, retainAudio);
    object.insert(u"retainHistory"_s, retainHistory);
    object.insert(u"learnVocabulary"_s, learnVocabulary);
    object.insert(u"playSounds"_s, playSounds);
    object.insert(u"showOverlay"_s, showOverlay);
    object.insert(u"didCompleteOnboarding"_s, didCompleteOnboarding);
    object.insert(u"launchAtLogin"_s, launchAtLogin);
    QJsonArray rules;
    for (const AppRule& rule : appRules) {
        rules.append(QJsonObject{{u"bundleIDPrefix"_s, rule.bundleIDPrefix},
                                 {u"styleInstruction"_s, rule.styleInstruction}});
    }
    object.insert(u"appRules"_s, rules);
    return object;
}

QByteArray Config::encode() const {
    // QJsonObject keeps its keys sorted, so the indented text is sorted too.
    return QJsonDocument(toJson()).toJson(QJsonDocument::Indented);
}

void Config::save(const QString& path) const {
    // Non-finite numbers have no JSON form; a record holding one is not written at all.
    if (!std::isfinite(guardMinContentRetention) || !std::isfinite(guardMaxLengthRatio)) {
        return;
    }
    writeAtomically(path, encode());
    Paths::protectFile(path);
}

Config Config::load(const QString& path) {
    const ReadResult read = readSettingsFile(path);
    if (read.readable) {
        if (auto decoded = decode(read.bytes)) {
            return *decoded;
        }
    }
    const Config defaults;
    if (isDanglingLink(path)) {
        // Nothing is damaged: the link may point at a file that is yet to appear, and saving
        // through it would write outside the data directory.
        Log::warn(u"Settings file is a link to nothing; using safe in-memory defaults."_s);
        return defaults;
    }
    if (!existsWithoutFollowing(path)) {
        defaults.save(path);
        return defaults;
    }
    const QString preserved = QFileInfo(path).dir().filePath(u"config.invalid.json"_s);
    // An older copy is replaced, but a directory under that name is never deleted wholesale.
    const bool cleared = !existsWithoutFollowing(preserved) ||
                         (!isDirectoryWithoutFollowing(preserved) && QFile::remove(preserved));
    if (!cleared || std::rename(QFile::encodeName(path).constData(),
                                QFile::encodeName(preserved).constData()) != 0) {
        Log::error(u"Settings were invalid and could not be preserved; using safe in-memory "
                   u"defaults."_s);
        return defaults;
    }
    Paths::protectFile(preserved);
    defaults.save(path);
    Log::warn(u"Settings were invalid. Safe defaults were loaded and the original file was "
              u"preserved as config.invalid.json."_s);
    return defaults;
}

Config Config::read(const QString& path) {
    const ReadResult file = readSettingsFile(path);
    if (file.readable) {
        if (auto decoded = decode(file.bytes)) {
            return *decoded;
        }
    }
    if (existsWithoutFollowing(path) && !isDanglingLink(path)) {
        Log::warn(u"Settings were invalid; using safe in-memory defaults and leaving the file as "
                  u"it is."_s);
    }
    return {};
}

std::optional<QString> Config::styleInstruction(const std::optional<QString>& bundleID) const {
    if (!bundleID) {
        return std::nullopt;
    }
    const AppRule* best = nullptr;
    qsizetype bestLength = -1;
    for (const AppRule& rule : appRules) {
        if (!unicode::startsWithGraphemes(*bundleID, rule.bundleIDPrefix)) {
            continue;
        }
        const qsizetype length = unicode::graphemeCount(rule.bundleIDPrefix);
        if (length > bestLength) {
            best = &rule;
            bestLength = length;
        }
    }
    return best ? std::optional(best->styleInstruction) : std::nullopt;
}

int Config::formatterTimeoutCeiling(int base) const {
    constexpr int kCeiling = 15000;
    const int t = formatterTimeoutMS;
    if (t <= 0) {
        return std::min(std::max(base, 6), kCeiling);
    }
    if (t >= kCeiling || t >= 2500) {
        return kCeiling;
    }
    return std::max(6 * t, std::min(std::max(base, 1), kCeiling));
}

} // namespace quovant
