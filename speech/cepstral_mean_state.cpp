#include "speech/cepstral_mean_state.h"

#include "settings/paths.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>

using namespace Qt::StringLiterals;

namespace quovant::CepstralMeanState {
namespace {

const QString kKey = u"cepstralMean"_s;
// Far beyond anything a microphone produces; a value out here means a damaged file.
constexpr double kLargestCoefficient = 200;
constexpr qint64 kLargestFile = 64 * 1024;

} // namespace

QString defaultPath() {
    return Paths::root() + u"/pocketsphinx-cmn.json"_s;
}

std::optional<std::vector<float>> load(const QString& path, std::size_t length) {
    QFile file(path);
    if (length == 0 || file.size() > kLargestFile || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonArray values = QJsonDocument::fromJson(file.readAll()).object().value(kKey).toArray();
    if (std::size_t(values.size()) != length)
        return std::nullopt;
    std::vector<float> mean;
    for (const QJsonValue& value : values) {
        const double number = value.toDouble(std::nan(""));
        if (!value.isDouble() || !std::isfinite(number) || std::abs(number) > kLargestCoefficient)
            return std::nullopt;
        mean.push_back(float(number));
    }
    return mean;
}

void save(const QString& path, const std::vector<float>& mean) {
    QJsonArray values;
    for (const float value : mean) {
        if (!std::isfinite(value))
            return;
        values.append(std::round(double(value) * 1e4) / 1e4);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(QJsonObject{{kKey, values}}).toJson(QJsonDocument::Compact));
    if (file.commit())
        Paths::protectFile(path);
}

} // namespace quovant::CepstralMeanState
