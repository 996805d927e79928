#include "console.h"
#include "consoleimagehandler.h"

#include <QAbstractTextDocumentLayout>
#include <QKeyEvent>
#include <QPalette>
#include <QScrollBar>
#include <QTextDocument>
#include <QTextFormat>

Console::Console(QWidget *parent)
    : QTextEdit(parent)
{
    document()->setMaximumBlockCount(100);
    // The logo lands pixel for pixel at 125 to 175 % too.
    document()->documentLayout()->registerHandler(QTextFormat::ImageObject,
                                                  new ConsoleImageHandler(this));

    QPalette p = palette();
    p.setBrush(QPalette::All, QPalette::Base, QBrush(Qt::black));
    p.setBrush(QPalette::All, QPalette::Text, QBrush(Qt::green));
    setPalette(p);
}

void Console::writeHtml(const QString &html)
{
    insertHtml(html);
    QScrollBar *bar = verticalScrollBar();
    bar->setValue(bar->maximum());
}

void Console::setEchoEnabled(bool set)
{
    echoEnabled = set;
}

void Console::mousePressEvent(QMouseEvent *)
{
    // Focus only: the cursor must stay at the end of the log, where the next
    // message goes.
    setFocus(Qt::OtherFocusReason);
}

void Console::mouseDoubleClickEvent(QMouseEvent *) { }

void Console::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Backspace:
    case Qt::Key_Left:
    case Qt::Key_Up:
    case Qt::Key_Right:
    case Qt::Key_Down:
        return;
    default:
        if (echoEnabled)
            QTextEdit::keyPressEvent(event);
    }
}

void Console::contextMenuEvent(QContextMenuEvent *) { }
