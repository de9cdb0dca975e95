#include "settings/utterance.h"

#include "core/unicode_text.h"
#include "settings/json_text.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QTimeZone>

#include <limits>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

void appendKey(QByteArray& out, const char* key) {
    if (out.size() > 1) {
        out.append(',');
    }
    out.append('"');
    out.append(key);
    out.append("\":");
}

void appendString(QByteArray& out, const char* key, const QString& value) {
    appendKey(out, key);
    appendJsonString(out, value);
}

void appendInteger(QByteArray& out, const char* key, qint64 value) {
    appendKey(out, key);
    out.append(QByteArray::number(value));
}

std::optional<QString> requiredString(const QJsonObject& object, QLatin1StringView key) {
    const QJsonValue value = object.value(key);
    if (!value.isString()) {
        return std::nullopt;
    }
    return value.toString();
}

// nullopt: the value is malformed; an empty inner optional: the key is absent.
std::optional<std::optional<QString>> optionalString(const QJsonObject& object,
                                                     QLatin1StringView key) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull()) {
        return std::optional<QString>();
    }
    if (!value.isString()) {
        return std::nullopt;
    }
    return std::optional<QString>(value.toString());
}

std::optional<qint64> requiredInteger(const QJsonObject& object, QLatin1StringView key) {
    const QJsonValue value = object.value(key);
    if (!value.isDouble()) {
        return std::nullopt;
    }
    // toInteger gives the default for fractions and out-of-range values, so two different
    // defaults tell a real integer apart from a rejected one.
    const qint64 low = value.toInteger(std::numeric_limits<qint64>::min());
    const qint64 high = value.toInteger(std::numeric_limits<qint64>::max());
    if (low != high) {
        return std::nullopt;
    }
    return low;
}

} // namespace

QString Utterance::formatTimestamp(const QDateTime& time) {
    QDateTime utc = time.toUTC();
    utc.setTime(QTime(utc.time().hour(), utc.time().minute(), utc.time().second()));
    return utc.toString(Qt::ISODate);
}

std::optional<QDateTime> Utterance::parseTimestamp(const QString& text) {
    static const unicode::Regex kShape(
        u"^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(?:\\.[0-9]+)?"
        "(?:Z|[+-][0-9]{2}:?[0-9]{2})$"_s);
    if (!kShape.matchesEntirely(text)) {
        return std::nullopt;
    }
    const QDateTime time = QDateTime::fromString(text, Qt::ISODate);
    if (!time.isValid()) {
        return std::nullopt;
    }
    return time;
}

QByteArray Utterance::toJson() const {
    QByteArray out;
    out.reserve(256 + (rawTranscript.size() + formattedText.size() + shippedText.size()) * 3);
    out.append('{');
    appendString(out, "id", id);
    appendString(out, "timestamp", formatTimestamp(timestamp));
    if (appBundleID) {
        appendString(out, "appBundleID", *appBundleID);
    }
    if (appName) {
        appendString(out, "appName", *appName);
    }
    appendString(out, "rawTranscript", rawTranscript);
    appendString(out, "formattedText", formattedText);
    appendString(out, "shippedText", shippedText);
    appendString(out, "guardVerdict", guardVerdict);
    appendString(out, "engine", engine);
    appendString(out, "formatter", formatter);
    appendInteger(out, "asrMS", asrMS);
    appendInteger(out, "formatMS", formatMS);
    appendInteger(out, "responseMS", responseMS);
    if (audioFile) {
        appendString(out, "audioFile", *audioFile);
    }
    out.append('}');
    return out;
}

std::optional<Utterance> Utterance::parse(QByteArrayView json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = document.object();

    const auto id = requiredString(object, "id"_L1);
    const auto timestampText = requiredString(object, "timestamp"_L1);
    const auto appBundleID = optionalString(object, "appBundleID"_L1);
    const auto appName = optionalString(object, "appName"_L1);
    const auto rawTranscript = requiredString(object, "rawTranscript"_L1);
    const auto formattedText = requiredString(object, "formattedText"_L1);
    const auto shippedText = requiredString(object, "shippedText"_L1);
    const auto guardVerdict = requiredString(object, "guardVerdict"_L1);
    const auto engine = requiredString(object, "engine"_L1);
    const auto formatter = requiredString(object, "formatter"_L1);
    const auto asrMS = requiredInteger(object, "asrMS"_L1);
    const auto formatMS = requiredInteger(object, "formatMS"_L1);
    const auto responseMS = requiredInteger(object, "responseMS"_L1);
    const auto audioFile = optionalString(object, "audioFile"_L1);
    if (!id || !timestampText || !appBundleID || !appName || !rawTranscript || !formattedText ||
        !shippedText || !guardVerdict || !engine || !formatter || !asrMS || !formatMS ||
        !responseMS || !audioFile) {
        return std::nullopt;
    }
    const auto timestamp = parseTimestamp(*timestampText);
    if (!timestamp) {
        return std::nullopt;
    }
    return Utterance{
        *id,          *timestamp,    *appBundleID, *appName,   *rawTranscript, *formattedText,
        *shippedText, *guardVerdict, *engine,      *formatter, *asrMS,         *formatMS,
        *responseMS,  *audioFile};
}

} // namespace quovant
