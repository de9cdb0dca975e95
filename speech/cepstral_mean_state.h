#pragma once

#include <QString>

#include <optional>
#include <vector>

namespace quovant {

// The built-in recogniser's running cepstral mean (the long-term colour of the user's microphone
// and voice), kept in the data directory so that the first utterance after a start is decoded as
// well as later ones. Stateless; any thread.
namespace CepstralMeanState {

// "pocketsphinx-cmn.json" in the data directory.
QString defaultPath();
// Nothing when the file is missing, damaged, of another length or implausible.
std::optional<std::vector<float>> load(const QString& path, std::size_t length);
// Written atomically with permissions 0600; failures are ignored.
void save(const QString& path, const std::vector<float>& mean);

} // namespace CepstralMeanState
} // namespace quovant
