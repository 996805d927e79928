#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QTextCursor>

void MainWindow::printConsole(const QString &text, int kind)
{
    QTextCursor cursor = ui->terminal->textCursor();

    // The text goes in as HTML on purpose: callers may style parts of a line.
    // Text from outside the program must be escaped by the caller.
    QString line = text;
    if (kind == 1)
        line.insert(0, QStringLiteral("<font color=\"blue\">"));
    else if (kind == 2)
        line.insert(0, QStringLiteral("<font color=\"green\">"));
    else if (kind == 0)
        line.insert(0, QStringLiteral("<font color=\"red\">"));
    else
        line.insert(0, QStringLiteral("<font color=\"green\">"));
    line.append(QStringLiteral("</font><br>"));

    ui->terminal->writeHtml(line);

    cursor.movePosition(QTextCursor::End, QTextCursor::MoveAnchor);
    ui->terminal->setTextCursor(cursor);
}
