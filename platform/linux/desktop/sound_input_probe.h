#pragma once

#include <QString>

namespace quovant {

// Whether the sound server (PulseAudio, or PipeWire's pulse server) is reachable and offers a
// default input source: Linux's counterpart of microphone access. Each probe makes its own short
// connection, never starts a server, and gives up after `timeoutMs`; any thread.
struct SoundInputProbe {
    bool serverReachable = false;
    QString defaultSource; // the server's default source, empty when it has none
    bool sourceExists = false; // that source is listed by the server

    bool available() const { return serverReachable && sourceExists; }

    static SoundInputProbe probe(int timeoutMs = 400);
};

} // namespace quovant
