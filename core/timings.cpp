#include "core/timings.h"

using namespace Qt::StringLiterals;

namespace quovant {

QString Timings::summary() const {
    const qint64 total = asrMS + contextMS + formatMS + injectMS;
    return u"asr %1ms · fmt %2ms · inject %3ms · total %4ms"_s.arg(asrMS)
        .arg(formatMS)
        .arg(injectMS)
        .arg(total);
}

} // namespace quovant
