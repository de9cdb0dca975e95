#include "core/pipeline_state.h"
#include "core/quovant_error.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using quovant::PipelineState;
using quovant::QuovantError;
using Kind = QuovantError::Kind;

TEST(PipelineState, ErrorStatesCompareByMessage) {
    EXPECT_EQ(PipelineState::error(u"a"_s), PipelineState::error(u"a"_s));
    EXPECT_NE(PipelineState::error(u"a"_s), PipelineState::error(u"b"_s));
    EXPECT_NE(PipelineState::idle(), PipelineState::recording());
}

TEST(QuovantError, DescriptionsAreTheUserFacingTexts) {
    const std::vector<std::pair<QuovantError, QString>> cases = {
        {QuovantError::localeUnsupported(u"fr-FR"_s),
         u"On-device speech recognition does not support fr-FR."_s},
        {QuovantError::speechModelUnavailable(u"missing"_s),
         u"The speech model is unavailable: missing"_s},
        {QuovantError::formatterUnavailable(u"down"_s),
         u"The formatting model is unavailable: down"_s},
        {QuovantError::injectionFailed(u"x"_s), u"Could not insert text: x"_s},
        {QuovantError::selectionUnavailable(u"AXTextArea"_s),
         u"This app did not expose an editable text selection (AXTextArea)."_s},
        {QuovantError::repositoryUnavailable(u"none"_s),
         u"Could not identify a repository: none."_s},
        {QuovantError::agentUnavailable(u"gone"_s), u"The coding agent is unavailable: gone."_s},
        {QuovantError::agentHandoffFailed(u"no"_s), u"Could not hand off the prompt: no."_s},
        {QuovantError(Kind::noAudioInput), u"No audio input device is available."_s},
        {QuovantError(Kind::audioFormatUnsupported),
         u"Could not convert microphone audio to a format the recogniser accepts."_s},
        {QuovantError(Kind::microphoneDenied),
         u"Microphone access was denied. Grant it in Settings › Privacy › Microphone."_s},
        {QuovantError(Kind::accessibilityDenied),
         u"Accessibility access is required to watch the hotkey and paste text."_s},
        {QuovantError(Kind::formatterTimedOut), u"Formatting exceeded its time budget."_s},
        {QuovantError(Kind::destinationChanged),
         u"The destination app changed while you were speaking."_s},
        {QuovantError(Kind::noTextSelected),
         u"Select text first, then hold the Edit in Place key."_s},
        {QuovantError(Kind::secureTextSelected),
         u"Quovant never reads or edits password and secure-entry fields."_s},
        {QuovantError(Kind::selectionChanged),
         u"The selection changed while you were speaking. Nothing was replaced."_s},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.description(), text);
        EXPECT_STREQ(error.what(), text.toUtf8().constData());
    }
}
