#include "core/quovant_error.h"
#include "platform/inert/unknown_frontmost_app.h"
#include "platform/inert/unsupported_capture.h"
#include "platform/inert/unsupported_hotkey.h"

#include <gtest/gtest.h>

using namespace quovant;

TEST(InertPorts, UnsupportedCaptureRefusesToStart) {
    UnsupportedCapture capture;
    bool called = false;
    capture.onChunk = [&](const AudioChunk&) { called = true; };
    try {
        capture.start(16000, false);
        FAIL() << "start should throw";
    } catch (const QuovantError& error) {
        EXPECT_EQ(error.description(), QStringLiteral("No audio input device is available."));
    }
    EXPECT_EQ(capture.lastCaptureStatus(), AudioCaptureStatus::unknown);
    EXPECT_FALSE(called);
}

TEST(InertPorts, UnknownFrontmostAppKnowsNothingAndHotkeyNeverRuns) {
    EXPECT_EQ(UnknownFrontmostApp().frontmostApp(), FrontmostApp{});
    UnsupportedHotkey hotkey;
    EXPECT_FALSE(hotkey.start());
}
