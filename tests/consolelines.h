#pragma once

#include <QColor>
#include <QList>
#include <QMetaType>
#include <QString>

class MainWindow;

// One line of the window's console as the user sees it: its text without the
// line break, and its colour. A line whose pieces have different colours
// gets an invalid colour, so that markup which restyles part of a line shows.
struct ConsoleLine
{
    QString text;
    QColor colour;

    static ConsoleLine red(const QString &text);
    static ConsoleLine blue(const QString &text);
    static ConsoleLine green(const QString &text);

    bool operator==(const ConsoleLine &other) const
    {
        return text == other.text && colour == other.colour;
    }
};
Q_DECLARE_METATYPE(ConsoleLine)

// Every line printed into the window's console since the start-up banner, in order.
QList<ConsoleLine> consoleLines(const MainWindow &window);

// Readable failure messages for QCOMPARE.
char *toString(const ConsoleLine &line);
char *toString(const QList<ConsoleLine> &lines);
