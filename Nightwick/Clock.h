#pragma once

#include <QDateTime>
#include <QObject>

#include <chrono>
#include <memory>

// A timer the program's rules run on. Owning code creates it through a Clock, so tests can
// move time forward by hand instead of waiting for it.
class Timer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Starts (or restarts) the timer: it fires `interval` from now, then every `interval` when
    // repeating.
    virtual void start(std::chrono::milliseconds interval, bool repeating) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
    virtual std::chrono::milliseconds interval() const = 0;

signals:
    void timeout();
};

// Where "now" comes from, and the timers that count from it.
class Clock {
public:
    virtual ~Clock() = default;

    // Wall-clock time, in UTC.
    virtual QDateTime now() const = 0;
    virtual std::unique_ptr<Timer> createTimer() = 0;
};

// The real clock: the system time and precise Qt timers on the calling thread's event loop
// (which keep firing inside modal loops).
class SystemClock final : public Clock {
public:
    QDateTime now() const override;
    std::unique_ptr<Timer> createTimer() override;
};
