#include "consoleimagehandler.h"

#include <QImage>
#include <QPainter>
#include <QTextDocument>
#include <QTextFormat>
#include <QUrl>
#include <QVariant>

// The console's images are the ones the program put into its document as
// resources; it loads none from elsewhere.
static QImage documentImage(const QTextDocument *document, const QTextFormat &format)
{
    const QVariant resource =
            document->resource(QTextDocument::ImageResource, QUrl(format.toImageFormat().name()));
    return qvariant_cast<QImage>(resource);
}

ConsoleImageHandler::ConsoleImageHandler(QObject *parent)
    : QObject(parent)
{ }

QSizeF ConsoleImageHandler::intrinsicSize(QTextDocument *document, int, const QTextFormat &format)
{
    // Whole points, as Qt's own handler lays images out: a picture made for
    // 1.75 device pixels per point covers a fraction of a point more than
    // the 1x picture, and the line must not grow by it. Qt's handler also
    // scales an image by the ratio of the view's DPI to the application's,
    // for printing; for a window on its screen that ratio is one.
    const QImage image = documentImage(document, format);
    const qreal ratio = image.devicePixelRatio();
    return QSizeF(int(image.width() / ratio), int(image.height() / ratio));
}

void ConsoleImageHandler::drawObject(QPainter *painter, const QRectF &rect, QTextDocument *document,
                                     int, const QTextFormat &format)
{
    // Drawn at the image's own ratio, with no target size: on a device of the
    // same ratio the painter copies its pixels as they are.
    painter->drawImage(rect.topLeft(), documentImage(document, format));
}
