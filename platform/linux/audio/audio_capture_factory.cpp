#include "platform/linux/audio/audio_capture_factory.h"

#include "platform/linux/audio/linux_audio_capture.h"
#include "platform/linux/audio/process_audio_capture.h"

namespace quovant {

std::shared_ptr<AudioCapturing> makeAudioCapture(const Config& config) {
    if (config.captureCommand) {
        return std::make_shared<ProcessAudioCapture>(*config.captureCommand);
    }
    auto microphone = LinuxAudioCapture::create();
    microphone->setVoiceProcessingEnabled(config.voiceProcessingEnabled);
    return microphone;
}

} // namespace quovant
