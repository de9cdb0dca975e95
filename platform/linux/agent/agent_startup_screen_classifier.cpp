#include "platform/linux/agent/agent_startup_screen_classifier.h"

using namespace Qt::StringLiterals;

namespace quovant {

const QStringList& AgentStartupScreenClassifier::markers() {
    static const QStringList list{
        u"do you trust"_s,  u"trust this folder"_s, u"trust this directory"_s,
        u"trust this project"_s, u"sign in"_s,     u"log in"_s,
        u"login required"_s,  u"authentication required"_s, u"authenticate to continue"_s,
    };
    return list;
}

AgentStartupScreenStatus AgentStartupScreenClassifier::classify(const QString& screenText) {
    const QString lowered = screenText.toLower();
    for (const QString& marker : markers()) {
        if (lowered.contains(marker)) {
            return AgentStartupScreenStatus::needsUserAction;
        }
    }
    return AgentStartupScreenStatus::ready;
}

} // namespace quovant
