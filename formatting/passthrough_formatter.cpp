#include "formatting/passthrough_formatter.h"

#include "core/quovant_error.h"
#include "formatting/formatting_context.h"

#include <utility>

using namespace Qt::StringLiterals;

namespace quovant {

PassthroughFormatter::PassthroughFormatter(QString name) : m_name(std::move(name)) {}

QString PassthroughFormatter::name() const {
    return m_name;
}

bool PassthroughFormatter::isAvailable() const {
    return true;
}

QCoro::Task<void> PassthroughFormatter::prepare() {
    co_return;
}

QCoro::Task<QString> PassthroughFormatter::format(QString transcript, FormattingContext) {
    co_return transcript;
}

QCoro::Task<QString> PassthroughFormatter::rewrite(QString, RewriteCommand, FormattingContext) {
    throw QuovantError::formatterUnavailable(
        u"Edit in Place requires the built-in formatter or Ollama."_s);
    co_return QString();
}

QCoro::Task<QString> PassthroughFormatter::compileDeveloperPrompt(QString, FormattingContext) {
    throw QuovantError::formatterUnavailable(
        u"Prompt Mode requires the built-in formatter or Ollama."_s);
    co_return QString();
}

} // namespace quovant
