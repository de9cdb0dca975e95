#pragma once

#include <QString>

namespace quovant {

// Puts text into whatever application has keyboard focus. Main thread; throws QuovantError.
class TextInjector {
public:
    virtual ~TextInjector() = default;

    virtual void inject(const QString& text) = 0;
};

} // namespace quovant
