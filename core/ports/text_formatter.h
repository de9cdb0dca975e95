#pragma once

#include "core/forward.h"

#include <QCoroTask>
#include <QString>

namespace quovant {

// A formatting model serving the three modes. Main thread only; the async operations may throw
// QuovantError (or the transport's error) and are cleaned and guarded by the caller.
class TextFormatter {
public:
    virtual ~TextFormatter() = default;

    virtual QString name() const = 0;
    virtual bool isAvailable() const = 0;

    // Probes and warms the model; never throws.
    virtual QCoro::Task<void> prepare() = 0;
    virtual QCoro::Task<QString> format(QString transcript, FormattingContext context) = 0;
    virtual QCoro::Task<QString> rewrite(QString text, RewriteCommand command,
                                         FormattingContext context) = 0;
    virtual QCoro::Task<QString> compileDeveloperPrompt(QString transcript,
                                                        FormattingContext context) = 0;
    // Gives up the requests in flight (their callers see a failure) when their time budget has
    // run out, so no connection outlives it. Nothing to do for a formatter without requests.
    virtual void abandonRequests() {}
};

} // namespace quovant
