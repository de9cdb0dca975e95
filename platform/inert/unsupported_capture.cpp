#include "platform/inert/unsupported_capture.h"

#include "core/quovant_error.h"

namespace quovant {

void UnsupportedCapture::start(double, bool) {
    throw QuovantError(QuovantError::Kind::noAudioInput);
}

} // namespace quovant
