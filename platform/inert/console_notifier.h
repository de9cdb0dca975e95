#pragma once

#include "core/ports/user_notifier.h"

namespace quovant {

// Notifications as log lines, for machines without a notification service.
class ConsoleNotifier final : public UserNotifier {
public:
    void notify(const QString& title, const QString& body) override;
};

} // namespace quovant
