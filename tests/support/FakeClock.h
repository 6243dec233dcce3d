#pragma once

#include "Clock.h"

#include <QList>
#include <QPointer>

// A clock that moves only when the test says so. Its timers fire, in time order, as advance()
// passes their deadlines.
class FakeClock final : public Clock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 12, 6), QTime(22, 0), Qt::UTC));

    QDateTime now() const override { return m_now; }
    std::unique_ptr<Timer> createTimer() override;

    void setNow(const QDateTime& now) { m_now = now; }
    // Moves time forward, firing every timer whose deadline falls within the step.
    void advance(std::chrono::milliseconds step);

    // Timers created and not yet destroyed.
    int liveTimers() const;

private:
    friend class FakeTimer;
    QDateTime m_now;
    QList<QPointer<class FakeTimer>> m_timers;
};

class FakeTimer final : public Timer {
public:
    explicit FakeTimer(FakeClock& clock)
        : m_clock(clock)
    {
    }

    void start(std::chrono::milliseconds interval, bool repeating) override;
    void stop() override { m_active = false; }
    bool isActive() const override { return m_active; }
    std::chrono::milliseconds interval() const override { return m_interval; }
    bool isRepeating() const { return m_repeating; }
    QDateTime deadline() const { return m_deadline; }

private:
    friend class FakeClock;
    FakeClock& m_clock;
    std::chrono::milliseconds m_interval{0};
    bool m_repeating = false;
    bool m_active = false;
    QDateTime m_deadline;
};
