#pragma once

#include <QTextEdit>

QT_BEGIN_NAMESPACE
class QByteArray;
class QContextMenuEvent;
class QKeyEvent;
class QMouseEvent;
QT_END_NAMESPACE

// The updater's log: a black rich-text view with green text that keeps its
// last hundred paragraphs. It is written to by the program only; typing,
// clicking and the context menu cannot change what it shows.
class Console : public QTextEdit
{
    Q_OBJECT

public:
    explicit Console(QWidget *parent = nullptr);

    void writeHtml(const QString &html);
    void setEchoEnabled(bool set);
    bool isEchoEnabled() const { return echoEnabled; }

signals:
    void getData(const QByteArray &data);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    bool echoEnabled = false;
};
