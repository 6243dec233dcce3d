#include "CardShadow.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr qreal shadowOpacity = 0.45;
// A blur radius of 40 spreads the shadow about 40 px: a Gaussian of half that deviation, which
// also keeps it inside the card's 60 px margin.
constexpr qreal shadowSigma = 40.0 / 2.0;

// Three running-sum box blurs along one axis come within a few percent of a Gaussian.
void boxBlur(std::vector<float>& values, int width, int height, int radius, bool alongRows)
{
    const int length = alongRows ? width : height;
    const int lines = alongRows ? height : width;
    const int stride = alongRows ? 1 : width;
    const int lineStep = alongRows ? width : 1;
    const float window = float(2 * radius + 1);
    std::vector<float> line(size_t(length), 0.0f);
    for (int pass = 0; pass < 3; ++pass) {
        for (int l = 0; l < lines; ++l) {
            float* data = values.data() + size_t(l) * size_t(lineStep);
            for (int i = 0; i < length; ++i) {
                line[size_t(i)] = data[size_t(i) * size_t(stride)];
            }
            float sum = 0.0f;
            for (int i = 0; i <= std::min(radius, length - 1); ++i) {
                sum += line[size_t(i)];
            }
            for (int i = 0; i < length; ++i) {
                data[size_t(i) * size_t(stride)] = sum / window;
                const int entering = i + radius + 1;
                const int leaving = i - radius;
                if (entering < length) {
                    sum += line[size_t(entering)];
                }
                if (leaving >= 0) {
                    sum -= line[size_t(leaving)];
                }
            }
        }
    }
}

QImage renderShadow(QSize canvas, const QRect& shape)
{
    const int width = canvas.width();
    const int height = canvas.height();
    std::vector<float> alpha(size_t(width) * size_t(height), 0.0f);
    const QRect clipped = shape.intersected(QRect(QPoint(0, 0), canvas));
    for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
        std::fill_n(alpha.begin() + y * width + clipped.left(), clipped.width(),
                    float(shadowOpacity));
    }
    // Three boxes of width w blur like a Gaussian of variance 3 (w² - 1) / 12.
    const int radius = std::max(
        1, int(std::lround((std::sqrt(4.0 * shadowSigma * shadowSigma + 1.0) - 1.0) / 2.0)));
    boxBlur(alpha, width, height, radius, true);
    boxBlur(alpha, width, height, radius, false);

    QImage image(canvas, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int a =
                std::clamp(int(std::lround(alpha[size_t(y * width + x)] * 255.0f)), 0, 255);
            row[x] = qRgba(0, 0, 0, a); // black, so premultiplied and straight agree
        }
    }
    return image;
}

} // namespace

const QImage& cardShadow(QSize canvas, const QRect& shape)
{
    struct Entry {
        QSize canvas;
        QRect shape;
        QImage image;
    };
    static std::vector<Entry> cache;
    for (const Entry& entry : cache) {
        if (entry.canvas == canvas && entry.shape == shape) {
            return entry.image;
        }
    }
    if (cache.size() >= 4) {
        cache.erase(cache.begin());
    }
    cache.push_back({canvas, shape, renderShadow(canvas, shape)});
    return cache.back().image;
}
