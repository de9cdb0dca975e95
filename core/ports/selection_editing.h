#pragma once

#include "core/selected_text_snapshot.h"

namespace quovant {

// Reads and replaces the selection of the focused text field. Main thread; throws QuovantError.
class SelectionEditing {
public:
    virtual ~SelectionEditing() = default;

    virtual SelectedTextSnapshot captureSelection() = 0;
    virtual void replaceSelection(const SelectedTextSnapshot& snapshot, const QString& text) = 0;
};

} // namespace quovant
