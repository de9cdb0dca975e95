#include "core/quovant_error.h"
#include "linux_accessibility/accessibility_desktop.h"
#include "pipeline/pipeline_doubles.h"
#include "platform/linux/accessibility/atspi_reader.h"
#include "platform/linux/accessibility/linux_selection_editor.h"
#include "support/desktop_peers.h"
#include "support/fields_program.h"

#include <QProcess>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using testing::AccessibilityDesktop;
using testing::waitUntil;
using testing::FieldsProgram;

// The port's double for the keys-and-paste injector: records what it was given and pastes it into
// the GTK program, as Ctrl+V would.
class PastingInjector : public TextInjector {
public:
    explicit PastingInjector(FieldsProgram* program) : m_program(program) {}
    void inject(const QString& text) override {
        injected.append(text);
        if (m_program && !text.isEmpty()) {
            m_program->paste(text);
        }
    }
    QStringList injected;

private:
    FieldsProgram* m_program;
};

QString errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const QuovantError& error) {
        return error.description();
    }
    return u"(no error)"_s;
}

const QString kUnavailable = u"This app did not expose an editable text selection (%1)."_s;
const QString kNoSelection = u"Select text first, then hold the Edit in Place key."_s;
const QString kSecure = u"Quovant never reads or edits password and secure-entry fields."_s;
const QString kDenied = u"Accessibility access is required to watch the hotkey and paste text."_s;
const QString kChanged = u"The selection changed while you were speaking. Nothing was replaced."_s;

class AccessibilitySelection : public ::testing::TestWithParam<FieldsProgram::Toolkit> {
protected:
    void SetUp() override {
        desktop = &AccessibilityDesktop::shared();
        ASSERT_TRUE(desktop->running()) << "Xvfb or the AT-SPI bus launcher did not start";
        ASSERT_TRUE(desktop->bus.setEnabled(true));
        program =
            std::make_unique<FieldsProgram>(desktop->bus.environment(), u"Fields"_s, GetParam());
        ASSERT_TRUE(program->ready()) << "the GTK program did not start";
        reader = std::make_shared<AtspiReader>();
        ASSERT_TRUE(reader->waitUntilStarted(20000));
        injector = std::make_shared<PastingInjector>(program.get());
        editor = std::make_unique<LinuxSelectionEditor>(reader, injector);
    }

    void TearDown() override {
        editor.reset();
        reader.reset();
        program.reset();
    }

    // Focuses `field`, fills it and selects [start, end) in the toolkit's character offsets,
    // then waits until the bus reports that selection.
    void prepare(const QString& field, const QString& text, int start, int end) {
        prepareIn(*program, field, text, start, end);
    }

    void prepareIn(FieldsProgram& target, const QString& field, const QString& text, int start,
                   int end) {
        ASSERT_TRUE(target.focus(field));
        ASSERT_TRUE(target.setText(field, text));
        ASSERT_TRUE(target.select(field, start, end));
        ASSERT_TRUE(waitUntil([&] {
            const auto focused = reader->focusedField();
            if (!focused || focused->processID != target.processId()) {
                return false;
            }
            const SelectionReading reading = reader->readSelection();
            if (field == u"password"_s) {
                return reading.outcome == SelectionReading::Outcome::secureField;
            }
            if (start == end) {
                return reading.outcome == SelectionReading::Outcome::noSelection;
            }
            // Toolkits count offsets in their own units; the text tells the selection arrived.
            const QList<uint> characters = text.toUcs4();
            return reading.outcome == SelectionReading::Outcome::read &&
                   reading.selectedText ==
                       QString::fromUcs4(reinterpret_cast<const char32_t*>(characters.constData()) +
                                             start,
                                         end - start);
        })) << field.toStdString();
    }

    AccessibilityDesktop* desktop = nullptr;
    std::unique_ptr<FieldsProgram> program;
    std::shared_ptr<AtspiReader> reader;
    std::shared_ptr<PastingInjector> injector;
    std::unique_ptr<LinuxSelectionEditor> editor;
};

TEST_P(AccessibilitySelection, CapturesSelectionsAfterAndAroundEmojiCjkAndCombiningMarks) {
    struct Case {
        QString field;
        QString text;
        int start;
        int end;
        QString selected;
        TextSelectionRange range;
    };
    const Case cases[] = {
        {u"entry"_s, u"ab😀e\u0301\u0303cd efg"_s, 3, 8, u"e\u0301\u0303cd"_s, {4, 5}},
        {u"entry"_s, u"Plain words here"_s, 0, 5, u"Plain"_s, {0, 5}},
        {u"editor"_s, u"第一行\n👍🏽 café 😀 end\nthird"_s, 7, 15, u"café 😀 e"_s, {9, 9}},
        {u"editor"_s, u"line one\nline two"_s, 5, 13, u"one\nline"_s, {5, 8}},
    };
    for (const Case& c : cases) {
        prepare(c.field, c.text, c.start, c.end);
        const SelectedTextSnapshot snapshot = editor->captureSelection();
        EXPECT_EQ(snapshot.text, c.selected) << c.text.toStdString();
        EXPECT_EQ(snapshot.range, c.range) << c.text.toStdString();
        EXPECT_EQ(snapshot.processID, program->processId());
    }
}

TEST_P(AccessibilitySelection, FieldsThatCannotBeEditedGiveTheirExactErrors) {
    struct Case {
        QString field;
        QString text;
        int start;
        int end;
        QString error;
        bool secure;
    };
    const Case cases[] = {
        {u"password"_s, u"hunter2 secret"_s, 0, 7, kSecure, true},
        {u"entry"_s, u"nothing selected"_s, 3, 3, kNoSelection, false},
        {u"entry"_s, u"   \t  "_s, 0, 6, kNoSelection, false},
        {u"readonly"_s, u"Read-only notes"_s, 0, 9,
         kUnavailable.arg(u"the selected content is read-only"_s), false},
    };
    for (const Case& c : cases) {
        prepare(c.field, c.text, c.start, c.end);
        EXPECT_EQ(errorOf([&] { editor->captureSelection(); }), c.error) << c.field.toStdString();
        EXPECT_EQ(reader->focusedFieldIsSecure(), std::optional<bool>(c.secure));
    }
    EXPECT_TRUE(injector->injected.isEmpty());
}

TEST_P(AccessibilitySelection, AnUnchangedSelectionIsReplacedByOnePaste) {
    prepare(u"editor"_s, u"Dear 😀 team,\nthe report are late.\nBye"_s, 13, 33);
    const SelectedTextSnapshot snapshot = editor->captureSelection();
    ASSERT_EQ(snapshot.text, u"the report are late."_s);
    editor->replaceSelection(snapshot, u"The report is late."_s);
    EXPECT_EQ(injector->injected, QStringList{u"The report is late."_s});
    EXPECT_EQ(program->text(u"editor"_s), u"Dear 😀 team,\nThe report is late.\nBye"_s);
}

TEST_P(AccessibilitySelection, ASelectionChangedBeforeReplacementIsLeftAlone) {
    struct Case {
        const char* name;
        std::function<void(FieldsProgram&)> change;
        QString remaining;
    };
    const QString original = u"keep these words exactly"_s;
    const Case cases[] = {
        {"text",
         [](FieldsProgram& p) {
             p.setText(u"entry"_s, u"keep those words exactly"_s);
             p.select(u"entry"_s, 5, 10);
         },
         u"keep those words exactly"_s},
        {"range",
         [](FieldsProgram& p) {
             p.setText(u"entry"_s, u"xxxxxkeep these words exactly"_s);
             p.select(u"entry"_s, 10, 15);
         },
         u"xxxxxkeep these words exactly"_s},
        {"field", [](FieldsProgram& p) { p.focus(u"editor"_s); }, original},
    };
    for (const Case& c : cases) {
        prepare(u"entry"_s, original, 5, 10);
        const SelectedTextSnapshot snapshot = editor->captureSelection();
        ASSERT_EQ(snapshot.text, u"these"_s);
        c.change(*program);
        // Let the bus deliver the change before replacing.
        ASSERT_TRUE(waitUntil([&] {
            const SelectionReading now = reader->readSelection();
            return now.outcome == SelectionReading::Outcome::noSelection ||
                   (now.outcome == SelectionReading::Outcome::read &&
                    (now.selectedText != u"these"_s || now.startOffset != 5));
        })) << c.name;
        EXPECT_EQ(errorOf([&] { editor->replaceSelection(snapshot, u"those"_s); }),
                  c.name == std::string("field") ? kNoSelection : kChanged)
            << c.name;
        EXPECT_EQ(program->text(u"entry"_s), c.remaining) << c.name;
    }
    EXPECT_TRUE(injector->injected.isEmpty());
}

TEST_P(AccessibilitySelection, FocusMovedToAnotherApplicationBeforeReplacementIsLeftAlone) {
    prepare(u"entry"_s, u"same words in both"_s, 0, 4);
    const SelectedTextSnapshot snapshot = editor->captureSelection();
    // Another application with the very same text and selection: only its process differs.
    FieldsProgram other(desktop->bus.environment(), u"Other"_s, GetParam());
    ASSERT_TRUE(other.ready());
    // A new program's first focus event can go out before its bridge knows who listens.
    ASSERT_TRUE(other.focus(u"password"_s));
    prepareIn(other, u"entry"_s, u"same words in both"_s, 0, 4);
    EXPECT_EQ(errorOf([&] { editor->replaceSelection(snapshot, u"Same"_s); }), kChanged);
    EXPECT_TRUE(injector->injected.isEmpty());
    EXPECT_EQ(other.text(u"entry"_s), u"same words in both"_s);
}

// xterm has no accessibility at all: once it has the keyboard, nothing may be read or replaced.
TEST_P(AccessibilitySelection, FocusInAnApplicationWithoutAccessibilityFindsNoTextField) {
    prepare(u"entry"_s, u"words in the toolkit field"_s, 0, 5);
    const SelectedTextSnapshot snapshot = editor->captureSelection();
    testing::PeerProcess terminal(u"xterm"_s, {u"-class"_s, u"QuovantTestTerm"_s},
                                  desktop->bus.environment());
    ASSERT_TRUE(terminal.started());
    QProcess focus;
    focus.start(u"xdotool"_s, {u"search"_s, u"--sync"_s, u"--class"_s, u"QuovantTestTerm"_s,
                               u"windowfocus"_s, u"--sync"_s});
    ASSERT_TRUE(focus.waitForFinished(30000) && focus.exitCode() == 0)
        << focus.readAllStandardError().toStdString();
    const QString noField = kUnavailable.arg(u"no focused text field"_s);
    EXPECT_TRUE(
        waitUntil([&] { return errorOf([&] { editor->captureSelection(); }) == noField; }));
    EXPECT_EQ(errorOf([&] { editor->replaceSelection(snapshot, u"Other"_s); }), noField);
    EXPECT_TRUE(injector->injected.isEmpty());
    EXPECT_EQ(program->text(u"entry"_s), u"words in the toolkit field"_s);
}

TEST_P(AccessibilitySelection, AssistiveTechnologiesTurnedOffDenyAccessUntilTurnedOn) {
    prepare(u"entry"_s, u"some text"_s, 0, 4);
    ASSERT_TRUE(desktop->bus.setEnabled(false));
    ASSERT_TRUE(waitUntil([&] { return !reader->isBusEnabled(); }));
    EXPECT_EQ(errorOf([&] { editor->captureSelection(); }), kDenied);
    EXPECT_EQ(reader->focusedFieldIsSecure(), std::nullopt);

    ASSERT_TRUE(desktop->bus.setEnabled(true));
    ASSERT_TRUE(waitUntil([&] { return reader->isBusEnabled(); }));
    // Focus is learnt afresh from events once the bus is back.
    ASSERT_TRUE(program->focus(u"password"_s));
    ASSERT_TRUE(program->focus(u"entry"_s));
    ASSERT_TRUE(program->select(u"entry"_s, 0, 4));
    ASSERT_TRUE(waitUntil(
        [&] { return reader->readSelection().outcome == SelectionReading::Outcome::read; }));
    EXPECT_EQ(editor->captureSelection().text, u"some"_s);
}

TEST_P(AccessibilitySelection, NoAccessibilityBusDeniesAccess) {
    editor.reset();
    reader.reset();
    testing::SessionBus bare; // a session without the accessibility bus launcher
    ASSERT_TRUE(bare.running());
    auto lonely = std::make_shared<AtspiReader>();
    EXPECT_FALSE(lonely->waitUntilStarted(20000));
    LinuxSelectionEditor lonelyEditor(lonely, injector);
    EXPECT_EQ(errorOf([&] { lonelyEditor.captureSelection(); }), kDenied);
    EXPECT_EQ(lonely->focusedFieldIsSecure(), std::nullopt);
}

TEST_P(AccessibilitySelection, AnApplicationThatStopsAnsweringGivesABoundedError) {
    prepare(u"entry"_s, u"frozen text"_s, 0, 6);
    ASSERT_TRUE(program->hang(6));
    EXPECT_EQ(errorOf([&] { editor->captureSelection(); }),
              kUnavailable.arg(u"the app did not answer"_s));
    // The cached answer for the gate never waits on the application.
    EXPECT_EQ(reader->focusedFieldIsSecure(), std::optional<bool>(false));
    // Asked again while it still sleeps, then once it answers again.
    EXPECT_EQ(errorOf([&] { editor->captureSelection(); }),
              kUnavailable.arg(u"the app did not answer"_s));
    EXPECT_EQ(program->text(u"entry"_s), u"frozen text"_s);
    EXPECT_TRUE(waitUntil(
        [&] { return errorOf([&] { editor->captureSelection(); }) == u"(no error)"_s; }));
}

INSTANTIATE_TEST_SUITE_P(Toolkits, AccessibilitySelection,
                         ::testing::Values(FieldsProgram::Toolkit::gtk, FieldsProgram::Toolkit::qt),
                         [](const auto& info) {
                             return info.param == FieldsProgram::Toolkit::gtk ? "Gtk3" : "Qt6";
                         });

} // namespace
} // namespace quovant
