#pragma once

#include "core/audio_chunk.h"
#include "core/speech_pauses.h"

#include <QCoroTask>
#include <QString>
#include <QStringList>

namespace quovant {

// A speech recogniser. All operations run on the main thread except `append`, which the capture
// thread calls and which must be thread-safe and never block.
class AsrEngine {
public:
    virtual ~AsrEngine() = default;

    virtual QString name() const = 0;
    virtual bool isStreaming() const = 0;
    virtual double requiredSampleRate() const = 0;

    virtual QCoro::Task<void> prepare() = 0;
    virtual QCoro::Task<void> beginUtterance(QStringList contextualStrings) = 0;
    virtual void append(const AudioChunk& chunk) = 0;
    // Gives the raw transcript of the utterance.
    virtual QCoro::Task<QString> finishUtterance() = 0;
    virtual QCoro::Task<void> cancelUtterance() = 0;
    // Gives up the requests in flight (their callers see a failure) when their time budget has
    // run out, so no connection outlives it. Nothing to do for a recogniser without requests.
    virtual void abandonRequests() {}

    // The pauses between the words of the transcript the last `finishUtterance` gave; empty when
    // the engine does not time its words.
    virtual SpeechPauses lastPauses() const { return {}; }
    // Called before a whole recording is fed at once (a file rather than a microphone), so that
    // an engine may adapt to it first. Engines that need nothing from it ignore it.
    virtual void expectRecording(const AudioChunk& /*recording*/) {}
};

} // namespace quovant
