#include "app/mainwindow.h"

QString MainWindow::getVersionXML(const QString &file)
{
    Q_UNUSED(file)
    return QString();
}
