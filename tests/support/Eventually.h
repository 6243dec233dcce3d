#pragma once

#include <QDeadlineTimer>
#include <QTest>

#include <functional>

// Keeps events flowing until `ready` holds; false once `patienceMs` have gone by. A bound on a
// wait, never a measure.
inline bool eventually(const std::function<bool()>& ready, int patienceMs = 10000, int stepMs = 10)
{
    const QDeadlineTimer deadline(patienceMs);
    while (!ready()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QTest::qWait(stepMs);
    }
    return true;
}
