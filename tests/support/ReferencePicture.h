#pragma once

#include <QAnimationDriver>
#include <QCoreApplication>
#include <QImage>
#include <QString>

#include <chrono>

// Animations move on only at step(), so a picture catches them at a known moment however busy
// the machine is.
class SteppedAnimations : public QAnimationDriver {
public:
    SteppedAnimations() { install(); }
    ~SteppedAnimations() override { uninstall(); }

    // Animations started since the last step begin now (Qt takes two rounds), then move by `by`.
    void step(std::chrono::milliseconds by)
    {
        for (int round = 0; round < 2; ++round) {
            QCoreApplication::processEvents();
            advance();
        }
        m_elapsed += by.count();
        advance();
    }
    qint64 elapsed() const override { return m_elapsed; }

private:
    qint64 m_elapsed = 0;
};

// Empty when `picture` matches tests/pictures/<name>.png within a shade per channel (font
// smoothing may differ); else what differs, the drawn picture saved in the build's pictures/.
// With NIGHTWICK_UPDATE_PICTURES=1 the picture becomes the reference.
QString differenceFromReference(const QImage& picture, const QString& name);
