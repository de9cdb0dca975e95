#include "pipeline/engine_factory.h"

#include "formatting/builtin_formatter.h"
#include "formatting/ollama_formatter.h"
#include "formatting/passthrough_formatter.h"
#include "settings/config.h"
#include "speech/pocket_sphinx_engine.h"
#include "speech/whisper_server_engine.h"

using namespace Qt::StringLiterals;

namespace quovant {

std::shared_ptr<AsrEngine> EngineFactory::makeAsr(const Config& config,
                                                  const PlatformKit& platform) {
    if (config.asr == AsrKind::appleSpeech && platform.nativeAsrEngine) {
        if (auto engine = platform.nativeAsrEngine(config)) {
            return engine;
        }
    }
    return std::make_shared<WhisperServerEngine>(config.whisperEndpoint, config.locale);
}

std::shared_ptr<TextFormatter> EngineFactory::makeFormatter(const Config& config,
                                                            const PlatformKit& platform) {
    switch (config.formatter) {
    case FormatterKind::none:
        return std::make_shared<PassthroughFormatter>(u"None (raw transcript)"_s);
    case FormatterKind::appleFoundation:
        if (platform.nativeFormatter) {
            if (auto formatter = platform.nativeFormatter()) {
                return formatter;
            }
        }
        break;
    case FormatterKind::ollama:
        break;
    }
    return std::make_shared<OllamaFormatter>(config.ollamaEndpoint, config.ollamaModel);
}

void EngineFactory::installNativeEngines(PlatformKit& platform) {
    platform.nativeAsrEngine = [](const Config& config) -> std::shared_ptr<AsrEngine> {
        return std::make_shared<PocketSphinxEngine>(config.locale);
    };
    platform.nativeFormatter = []() -> std::shared_ptr<TextFormatter> {
        return std::make_shared<BuiltinFormatter>();
    };
}

} // namespace quovant
