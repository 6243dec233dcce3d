#include "WidgetSnapshot.h"

#include <QEventLoop>
#include <QTimer>
#include <QWidget>

QImage snapshotWidget(QWidget& widget, std::chrono::milliseconds settle, qreal scale)
{
    widget.adjustSize();
    widget.show();
    QEventLoop loop;
    QTimer::singleShot(settle, &loop, &QEventLoop::quit);
    loop.exec();

    QImage image(widget.size() * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    QWidget::RenderFlags flags = QWidget::DrawChildren;
    if (!widget.testAttribute(Qt::WA_TranslucentBackground)) {
        flags |= QWidget::DrawWindowBackground;
    }
    widget.render(&image, QPoint(), QRegion(), flags);
    return image;
}
