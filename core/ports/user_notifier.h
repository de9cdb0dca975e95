#pragma once

#include <QString>

namespace quovant {

// Tells the user about a problem. Main thread.
class UserNotifier {
public:
    virtual ~UserNotifier() = default;

    virtual void notify(const QString& title, const QString& body) = 0;
};

} // namespace quovant
