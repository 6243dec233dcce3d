#pragma once

#include <QImage>

#include <chrono>

class QWidget;

// Pictures of the agent's views, for tests and the README: shows `widget` (on whichever platform
// runs, usually offscreen), lets its appearance animations run for `settle`, and renders it at
// `scale` device pixels per pixel. See-through parts stay transparent.
QImage snapshotWidget(QWidget& widget,
                      std::chrono::milliseconds settle = std::chrono::milliseconds(400),
                      qreal scale = 1.0);
