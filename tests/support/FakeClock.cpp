#include "FakeClock.h"

FakeClock::FakeClock(QDateTime start)
    : m_now(std::move(start))
{
}

std::unique_ptr<Timer> FakeClock::createTimer()
{
    auto timer = std::make_unique<FakeTimer>(*this);
    m_timers.append(timer.get());
    return timer;
}

int FakeClock::liveTimers() const
{
    int count = 0;
    for (const auto& timer : m_timers) {
        count += timer.isNull() ? 0 : 1;
    }
    return count;
}

void FakeClock::advance(std::chrono::milliseconds step)
{
    const QDateTime end = m_now.addMSecs(step.count());
    for (;;) {
        // The earliest due timer fires first; a handler may start, stop or destroy timers.
        FakeTimer* next = nullptr;
        for (const auto& timer : m_timers) {
            if (timer && timer->m_active && timer->m_deadline <= end &&
                (!next || timer->m_deadline < next->m_deadline)) {
                next = timer;
            }
        }
        if (!next) {
            break;
        }
        m_now = next->m_deadline;
        if (next->m_repeating && next->m_interval.count() > 0) {
            next->m_deadline = m_now.addMSecs(next->m_interval.count());
        } else {
            next->m_active = false;
        }
        Q_EMIT next->timeout();
    }
    m_now = end;
    m_timers.removeAll(nullptr);
}

void FakeTimer::start(std::chrono::milliseconds interval, bool repeating)
{
    m_interval = interval;
    m_repeating = repeating;
    m_active = true;
    m_deadline = m_clock.m_now.addMSecs(interval.count());
}
