#pragma once

#include "core/pipeline_mode.h"
#include "core/pipeline_state.h"

#include <QIcon>
#include <QString>

namespace quovant::StatusIcon {

// The icon for a state and the mode in progress, e.g. "recording-dictation"; idle without the
// keys and accessibility the application needs is "idle-attention". Pure.
QString name(PipelineState::Kind state, PipelineMode mode, bool accessOK);

// The shipped icon of that name, or a plain drawn one while none is shipped.
QIcon icon(const QString& name);

} // namespace quovant::StatusIcon
