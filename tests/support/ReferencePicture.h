#pragma once

#include <QAnimationDriver>
#include <QCoreApplication>
#include <QImage>
#include <QString>

#include <chrono>

// Qt's animations move on only when step() says so, so a picture catches them at a known moment
// however busy the machine is. Installed for as long as it lives.
class SteppedAnimations : public QAnimationDriver {
public:
    SteppedAnimations() { install(); }
    ~SteppedAnimations() override { uninstall(); }

    // Lets animations started since the last step begin at the current moment (the first ever
    // takes Qt two rounds of events), then moves them on by `by`.
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

// Empty when `picture` matches tests/pictures/<name>.png, every channel of every pixel within a
// small tolerance (font smoothing may differ by a shade); else what differs, with the picture
// and a map of the differing pixels written to pictures/ in the working folder (the build's), for
// a person to look at. With NIGHTWICK_UPDATE_PICTURES=1 the picture becomes the reference.
QString differenceFromReference(const QImage& picture, const QString& name);
