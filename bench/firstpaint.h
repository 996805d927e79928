#pragma once

#include <QObject>

class QWidget;

// Reports once, when the first paint of a window has been handled and the
// event loop is free again, the monotonic clock in nanoseconds (the clock of
// CLOCK_MONOTONIC, which the bench driver reads as well).
class FirstPaint : public QObject
{
    Q_OBJECT

public:
    explicit FirstPaint(QWidget *window);

    static qint64 monotonicNs();

signals:
    void painted(qint64 ns);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool seen = false;
};
