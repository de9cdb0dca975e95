#include "core/quovant_error.h"
#include "platform/linux/accessibility/atspi_reader.h"
#include "platform/linux/accessibility/linux_selection_editor.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using Outcome = SelectionReading::Outcome;

SelectionReading readable(const QString& before, const QString& selected) {
    SelectionReading reading;
    reading.outcome = Outcome::read;
    reading.field.roles = {u"text"_s};
    reading.field.processID = 4242;
    reading.selectedText = selected;
    reading.textBefore = before;
    reading.editable = true;
    return reading;
}

TEST(SelectionSnapshot, RangeCountsUtf16UnitsOfTheTextBeforeAndTheSelection) {
    struct Case {
        QString before;
        QString selected;
        TextSelectionRange range;
    };
    const Case cases[] = {
        {u""_s, u"plain"_s, {0, 5}},
        {u"ab😀"_s, u"cd"_s, {4, 2}},            // one emoji: two units, one character
        {u"e\u0301\u0303 "_s, u"x"_s, {4, 1}},  // combining marks count on their own
        {u"👍🏽 "_s, u"Grüße 😀"_s, {5, 8}}, // emoji with a skin tone: four units
        {u"第一行\n"_s, u"中文"_s, {4, 2}},
    };
    for (const Case& c : cases) {
        const SelectedTextSnapshot snapshot =
            LinuxSelectionEditor::snapshotFrom(readable(c.before, c.selected));
        EXPECT_EQ(snapshot.range, c.range) << c.before.toStdString();
        EXPECT_EQ(snapshot.text, c.selected);
        EXPECT_EQ(snapshot.processID, 4242);
    }
}

TEST(SelectionSnapshot, EachReadingThatCannotBeEditedGivesItsOwnError) {
    struct Case {
        const char* name;
        std::function<void(SelectionReading&)> change;
        QString description;
    };
    const QString unavailable = u"This app did not expose an editable text selection (%1)."_s;
    const Case cases[] = {
        {"bus off", [](SelectionReading& r) { r.outcome = Outcome::busOff; },
         u"Accessibility access is required to watch the hotkey and paste text."_s},
        {"no focus", [](SelectionReading& r) { r.outcome = Outcome::noFocusedField; },
         unavailable.arg(u"no focused text field"_s)},
        {"password", [](SelectionReading& r) { r.outcome = Outcome::secureField; },
         u"Quovant never reads or edits password and secure-entry fields."_s},
        {"password read anyway", [](SelectionReading& r) { r.field.isPassword = true; },
         u"Quovant never reads or edits password and secure-entry fields."_s},
        {"no selection", [](SelectionReading& r) { r.outcome = Outcome::noSelection; },
         u"Select text first, then hold the Edit in Place key."_s},
        {"blank selection", [](SelectionReading& r) { r.selectedText = u" \n\t\u00a0 "_s; },
         u"Select text first, then hold the Edit in Place key."_s},
        {"read-only", [](SelectionReading& r) { r.editable = false; },
         unavailable.arg(u"the selected content is read-only"_s)},
        {"no process", [](SelectionReading& r) { r.field.processID.reset(); },
         unavailable.arg(u"could not identify the destination app"_s)},
        {"no range", [](SelectionReading& r) { r.textBefore.reset(); },
         unavailable.arg(u"could not verify the selected text range"_s)},
        {"hung app", [](SelectionReading& r) { r.outcome = Outcome::notAnswering; },
         unavailable.arg(u"the app did not answer"_s)},
        // The order of the checks: blank text is reported before read-only content.
        {"blank and read-only",
         [](SelectionReading& r) {
             r.selectedText = u"  "_s;
             r.editable = false;
         },
         u"Select text first, then hold the Edit in Place key."_s},
    };
    for (const Case& c : cases) {
        SelectionReading reading = readable(u"before "_s, u"selected"_s);
        c.change(reading);
        try {
            LinuxSelectionEditor::snapshotFrom(reading);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const QuovantError& error) {
            EXPECT_EQ(error.description(), c.description) << c.name;
        }
    }
}

TEST(SelectionSnapshot, KeepsTheSelectionUntrimmed) {
    const SelectedTextSnapshot snapshot =
        LinuxSelectionEditor::snapshotFrom(readable(u"a"_s, u"  two words\n"_s));
    EXPECT_EQ(snapshot.text, u"  two words\n"_s);
    EXPECT_EQ(snapshot.range, (TextSelectionRange{1, 12}));
}

} // namespace
} // namespace quovant
