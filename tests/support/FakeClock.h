#pragma once

#include "Clock.h"

#include <QList>
#include <QPointer>

// A timer of the fake clock: it fires only as the clock is moved past its deadline.
class FakeTimer final : public Timer {
public:
    explicit FakeTimer(const Clock& clock)
        : clock(clock)
    {
    }
    void start(std::chrono::milliseconds every, bool repeats) override
    {
        period = every, repeating = repeats, active = true;
        deadline = clock.now().addMSecs(every.count());
    }
    void stop() override { active = false; }
    bool isActive() const override { return active; }
    std::chrono::milliseconds interval() const override { return period; }

    const Clock& clock;
    std::chrono::milliseconds period{0};
    bool repeating = false, active = false;
    QDateTime deadline;
};

// A clock that moves only when the test says so.
class FakeClock final : public Clock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 12, 6), QTime(22, 0), Qt::UTC))
        : m_now(std::move(start))
    {
    }
    QDateTime now() const override { return m_now; }
    std::unique_ptr<Timer> createTimer() override;
    void setNow(const QDateTime& now) { m_now = now; }
    // Moves time forward, firing, in time order, every timer whose deadline falls within the step.
    void advance(std::chrono::milliseconds step);

private:
    QDateTime m_now;
    QList<QPointer<FakeTimer>> m_timers;
};
