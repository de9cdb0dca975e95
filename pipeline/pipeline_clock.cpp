#include "pipeline/pipeline_clock.h"

#include <QElapsedTimer>
#include <QTimer>

#include <chrono>

namespace quovant {
namespace {

class SystemTimer final : public PipelineTimer {
public:
    SystemTimer(qint64 milliseconds, std::function<void()> fire) {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, std::move(fire));
        m_timer.start(std::chrono::milliseconds(std::max<qint64>(milliseconds, 0)));
    }

private:
    QTimer m_timer;
};

class SystemClock final : public PipelineClock {
public:
    SystemClock() { m_elapsed.start(); }

    qint64 nowMS() const override { return m_elapsed.elapsed(); }
    std::unique_ptr<PipelineTimer> schedule(qint64 milliseconds,
                                            std::function<void()> fire) override {
        return std::make_unique<SystemTimer>(milliseconds, std::move(fire));
    }

private:
    QElapsedTimer m_elapsed;
};

} // namespace

std::shared_ptr<PipelineClock> PipelineClock::system() {
    return std::make_shared<SystemClock>();
}

} // namespace quovant
