#pragma once

#include <QImage>
#include <QRect>
#include <QSize>

// The soft shadow under the reminder card: `shape` filled at the shadow's opacity and blurred
// over a transparent canvas. Kept for the next card, which has the same size.
const QImage& cardShadow(QSize canvas, const QRect& shape);
