#pragma once

#include <QString>
#include <QtGlobal>

namespace quovant {

// Whole milliseconds spent in each stage of one utterance, filled in as it progresses.
struct Timings {
    qint64 recordingMS = 0; // key down to key up
    qint64 asrMS = 0;       // key up to transcript
    qint64 contextMS = 0;   // waiting for context such as the repository
    qint64 formatMS = 0;    // formatter or compiler call
    qint64 injectMS = 0;    // delivery

    // "asr 1ms · fmt 2ms · inject 3ms · total 6ms"; the total leaves out the recording but
    // includes the context wait.
    QString summary() const;

    bool operator==(const Timings&) const = default;
};

} // namespace quovant
