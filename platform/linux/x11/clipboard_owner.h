#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

namespace quovant {

// One representation the clipboard offers: the target name, the property type and format the
// owner answered with, and the bytes (for format 32, items as C longs, the way Xlib keeps them).
struct ClipboardFormat {
    QByteArray target;
    QByteArray type;
    int format = 8;
    QByteArray data;

    bool operator==(const ClipboardFormat&) const = default;
};

// What the clipboard held: every representation its owner offered, or no owner at all.
struct ClipboardSnapshot {
    bool hadOwner = false;
    QList<ClipboardFormat> formats;
};

// The process's owner of the X CLIPBOARD selection: a thread of its own with its own display
// connection, so that requests are answered even while the main thread waits (a requestor may be
// our own toolkit). It serves what it holds (with INCR for large data and the TARGETS, TIMESTAMP
// and MULTIPLE protocol targets), keeps the user's clipboard across an injection and puts it back
// once the target application has fetched our text, and hands its contents to a clipboard
// manager (SAVE_TARGETS) when it ends. Every public function is called from one thread at a time
// (the main thread) and waits for the owner thread with a bounded time.
class ClipboardOwner {
public:
    // The process's one owner, started when first asked for; null when no display is reachable.
    // A owner whose display connection broke is replaced by a fresh one on the next call.
    static std::shared_ptr<ClipboardOwner> shared();
    ~ClipboardOwner();
    ClipboardOwner(const ClipboardOwner&) = delete;
    ClipboardOwner& operator=(const ClipboardOwner&) = delete;

    bool isAlive() const;

    // UTF8_STRING, text/plain;charset=utf-8 and STRING; with `secret`, also the hint that tells
    // clipboard managers not to keep it.
    static QList<ClipboardFormat> textFormats(const QString& text, bool secret);

    // Puts `text` on the clipboard for a paste, keeping what the user had to put back later. While
    // an earlier injection's restore is still pending, its (older) snapshot is kept, so the user's
    // own clipboard comes back after both. False when the clipboard could not be taken.
    // `ownProcessSnapshot` is what this process's toolkit holds when it owns the clipboard: its
    // main thread waits here, so it could not answer the owner thread's requests.
    bool beginInjection(const QString& text,
                        std::optional<ClipboardSnapshot> ownProcessSnapshot = std::nullopt);
    // The paste keystroke went out: the user's clipboard comes back `restoreDelay` after the
    // target application fetched our text, or at `restoreDeadline` if it never asks; never over
    // a copy someone made meanwhile.
    void pasteSent();
    // The keystroke could not be sent: our text stays on the clipboard, nothing is put back.
    void abandonInjection();
    // Replaces the clipboard with `text` for good; a pending restore is dropped.
    bool setText(const QString& text);

    // Owned by the owner thread afterwards; for tests and benchmarks.
    bool hasPendingRestore();
    // What the clipboard offers now, read as any other client would.
    ClipboardSnapshot readClipboard();

    void setRestoreTiming(std::chrono::milliseconds delay, std::chrono::milliseconds deadline);

    struct Impl;

private:
    ClipboardOwner();
    std::unique_ptr<Impl> m_impl;
};

} // namespace quovant
