#include "platform/linux/accessibility/linux_selection_editor.h"

#include "core/quovant_error.h"
#include "platform/linux/accessibility/atspi_reader.h"

using namespace Qt::StringLiterals;

namespace quovant {

LinuxSelectionEditor::LinuxSelectionEditor(std::shared_ptr<AtspiReader> reader,
                                           std::shared_ptr<TextInjector> injector)
    : m_reader(std::move(reader)), m_injector(std::move(injector)) {}

TextSelectionRange LinuxSelectionEditor::selectionRange(const QString& textBefore,
                                                        const QString& selected) {
    return TextSelectionRange{textBefore.size(), selected.size()};
}

SelectedTextSnapshot LinuxSelectionEditor::snapshotFrom(const SelectionReading& reading) {
    using Outcome = SelectionReading::Outcome;
    switch (reading.outcome) {
    case Outcome::busOff:
        throw QuovantError(QuovantError::Kind::accessibilityDenied);
    case Outcome::noFocusedField:
        throw QuovantError::selectionUnavailable(u"no focused text field"_s);
    case Outcome::secureField:
        throw QuovantError(QuovantError::Kind::secureTextSelected);
    case Outcome::noSelection:
        throw QuovantError(QuovantError::Kind::noTextSelected);
    case Outcome::notAnswering:
        throw QuovantError::selectionUnavailable(u"the app did not answer"_s);
    case Outcome::read:
        break;
    }
    if (reading.field.isPassword) {
        throw QuovantError(QuovantError::Kind::secureTextSelected);
    }
    if (reading.selectedText.trimmed().isEmpty()) {
        throw QuovantError(QuovantError::Kind::noTextSelected);
    }
    if (!reading.editable) {
        throw QuovantError::selectionUnavailable(u"the selected content is read-only"_s);
    }
    if (!reading.field.processID) {
        throw QuovantError::selectionUnavailable(u"could not identify the destination app"_s);
    }
    if (!reading.textBefore) {
        throw QuovantError::selectionUnavailable(u"could not verify the selected text range"_s);
    }
    return SelectedTextSnapshot{reading.selectedText, *reading.field.processID,
                                selectionRange(*reading.textBefore, reading.selectedText)};
}

SelectedTextSnapshot LinuxSelectionEditor::captureSelection() {
    if (!m_reader) {
        throw QuovantError(QuovantError::Kind::accessibilityDenied);
    }
    return snapshotFrom(m_reader->readSelection());
}

void LinuxSelectionEditor::replaceSelection(const SelectedTextSnapshot& snapshot,
                                            const QString& text) {
    const SelectedTextSnapshot current = captureSelection();
    // Process, text and range: the paste goes wherever the selection is now.
    if (current != snapshot) {
        throw QuovantError(QuovantError::Kind::selectionChanged);
    }
    if (!m_injector) {
        throw QuovantError::injectionFailed(u"no way to paste on this desktop"_s);
    }
    m_injector->inject(text);
}

} // namespace quovant
