#include "FakeClock.h"

std::unique_ptr<Timer> FakeClock::createTimer()
{
    auto timer = std::make_unique<FakeTimer>(*this);
    m_timers.append(timer.get());
    return timer;
}

void FakeClock::advance(std::chrono::milliseconds step)
{
    const QDateTime end = m_now.addMSecs(step.count());
    // A handler may start, stop or destroy timers, so the next is sought afresh each time.
    for (FakeTimer* next = nullptr;; next = nullptr) {
        for (FakeTimer* timer : std::as_const(m_timers)) {
            if (timer && timer->active && timer->deadline <= end &&
                (!next || timer->deadline < next->deadline))
                next = timer;
        }
        if (!next)
            break;
        m_now = next->deadline;
        next->active = next->repeating && next->period.count() > 0;
        next->deadline = m_now.addMSecs(next->period.count());
        Q_EMIT next->timeout();
    }
    m_now = end;
    m_timers.removeAll(nullptr);
}
