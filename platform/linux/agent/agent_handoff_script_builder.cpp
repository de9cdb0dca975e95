#include "platform/linux/agent/agent_handoff_script_builder.h"

using namespace Qt::StringLiterals;

namespace quovant {

QString AgentHandoffScriptBuilder::quote(const QString& text) {
    QString inner = text;
    inner.replace(u"'"_s, u"'\\''"_s);
    return u"'"_s + inner + u"'"_s;
}

QString AgentHandoffScriptBuilder::makeScript(const QString& executablePath,
                                              const QString& repositoryPath,
                                              const QString& markerPath) {
    return u"#!/bin/sh\nset -eu\ncd -- "_s + quote(repositoryPath) + u"\n/bin/echo \"$$\" > "_s +
           quote(markerPath) + u"\nexec "_s + quote(executablePath);
}

} // namespace quovant
