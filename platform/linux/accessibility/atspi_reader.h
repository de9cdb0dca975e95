#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>

namespace quovant {

// What the reader knows about the accessible that has keyboard focus in another application.
struct FocusedField {
    // Role names as the accessibility bus spells them ("text", "password text", "entry"…).
    QStringList roles;
    bool isPassword = false;
    std::optional<std::int32_t> processID;

    bool operator==(const FocusedField&) const = default;
};

// One reading of the focused accessible's selection. The selected text and the text before it are
// never read from a password field.
struct SelectionReading {
    enum class Outcome {
        read,           // the fields below are filled in
        busOff,         // no accessibility bus, or assistive technologies are turned off
        noFocusedField, // nothing outside this process has focus, or it has gone
        secureField,    // a password field: only the roles are known
        noSelection,    // no text interface, no selection, or the selection could not be read
        notAnswering,   // the application did not answer within the time limit
    };

    Outcome outcome = Outcome::noFocusedField;
    FocusedField field;
    QString selectedText;
    // The whole text before the selection; absent when it could not be read.
    std::optional<QString> textBefore;
    // The selection in the bus's own character offsets.
    std::int64_t startOffset = 0;
    std::int64_t endOffset = 0;
    bool editable = false;
};

// Reads the focused text field of other applications through the AT-SPI2 accessibility bus.
// libatspi runs on a thread of its own with its own GLib main context; every call to another
// application has a short time limit, focus comes from `object:state-changed:focused` events, and
// this process's own accessibles are never queried. Every member is thread-safe; only
// `readSelection` waits (at most `waitTimeoutMs`). libatspi is process-global, so at most one
// reader may be alive at a time; a second one stays switched off.
class AtspiReader {
public:
    static constexpr int kDefaultCallTimeoutMs = 400;
    static constexpr int kDefaultWaitTimeoutMs = 1000;

    explicit AtspiReader(int callTimeoutMs = kDefaultCallTimeoutMs,
                         int waitTimeoutMs = kDefaultWaitTimeoutMs);
    ~AtspiReader();
    AtspiReader(const AtspiReader&) = delete;
    AtspiReader& operator=(const AtspiReader&) = delete;

    // Whether the accessibility bus is reachable and assistive technologies are on; waits up to
    // `timeoutMs` for the first answer after start-up.
    bool waitUntilStarted(int timeoutMs);
    bool isBusEnabled() const;

    // The focused field as last reported by the bus; never waits.
    std::optional<FocusedField> focusedField() const;
    // For the injector's gate: whether the focused field is a password field; nullopt when that
    // is unknown (bus off, or no accessible focus outside this process). Never waits.
    std::optional<bool> focusedFieldIsSecure() const;

    // Reads the focused field's selection on the reader's thread; a reader that does not answer
    // within the wait limit gives `notAnswering`.
    SelectionReading readSelection();

    // Counts focus events handled so far (tests and benchmarks wait on it).
    std::uint64_t focusEventCount() const;

private:
    struct Worker;
    std::shared_ptr<Worker> m_worker;
    int m_waitTimeoutMs;
};

} // namespace quovant
