#pragma once

namespace quovant {

enum class PipelineMode { dictation, editSelection, developerPrompt };

} // namespace quovant
