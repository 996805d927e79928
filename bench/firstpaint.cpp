#include "firstpaint.h"

#include <QEvent>
#include <QWidget>

#include <chrono>

FirstPaint::FirstPaint(QWidget *window)
    : QObject(window)
{
    window->installEventFilter(this);
}

qint64 FirstPaint::monotonicNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

bool FirstPaint::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint && !seen) {
        seen = true;
        // The window's paint event opens the paint pass of the whole widget
        // tree; the queued call runs once that pass has been flushed.
        QMetaObject::invokeMethod(
                this, [this] { emit painted(monotonicNs()); }, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}
