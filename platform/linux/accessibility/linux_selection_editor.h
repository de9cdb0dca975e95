#pragma once

#include "core/ports/selection_editing.h"
#include "core/ports/text_injector.h"

#include <memory>

namespace quovant {

class AtspiReader;
struct SelectionReading;

// Edit in Place on Linux: reads the focused field's selection through the accessibility bus and
// replaces it by pasting through the injector, only while the selection is still the captured
// one. Password fields are never read. Main thread; throws QuovantError.
class LinuxSelectionEditor : public SelectionEditing {
public:
    LinuxSelectionEditor(std::shared_ptr<AtspiReader> reader,
                         std::shared_ptr<TextInjector> injector);

    SelectedTextSnapshot captureSelection() override;
    void replaceSelection(const SelectedTextSnapshot& snapshot, const QString& text) override;

    // The snapshot for one reading of the bus, or the port's error for it.
    static SelectedTextSnapshot snapshotFrom(const SelectionReading& reading);
    // The bus counts characters in its own units (code points for GTK); a snapshot's range counts
    // UTF-16 units, like its text. Measuring the text itself needs no knowledge of either.
    static TextSelectionRange selectionRange(const QString& textBefore, const QString& selected);

private:
    std::shared_ptr<AtspiReader> m_reader;
    std::shared_ptr<TextInjector> m_injector;
};

} // namespace quovant
