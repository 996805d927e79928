#pragma once

#include <QObject>
#include <QTextObjectInterface>

// Draws the images of the console's document, in practice its logo, at the
// device pixels they were made for. Qt's own handler stretches an image over
// the rectangle that the layout gives it, a whole number of points: at 125 to
// 175 % that rectangle is a fraction of a pixel off the picture made for the
// screen (MainWindow::consoleLogo), and the stretch, pixel by pixel, drops or
// doubles a row or a column. Drawn at its own size from the rectangle's
// corner, the picture lands pixel for pixel.
class ConsoleImageHandler : public QObject, public QTextObjectInterface
{
    Q_OBJECT
    Q_INTERFACES(QTextObjectInterface)

public:
    explicit ConsoleImageHandler(QObject *parent = nullptr);

    QSizeF intrinsicSize(QTextDocument *document, int position, const QTextFormat &format) override;
    void drawObject(QPainter *painter, const QRectF &rect, QTextDocument *document, int position,
                    const QTextFormat &format) override;
};
