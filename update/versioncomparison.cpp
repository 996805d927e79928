#include "app/mainwindow.h"

void MainWindow::compararVersiones(bool downSucc, const QString &strError)
{
    Q_UNUSED(downSucc)
    Q_UNUSED(strError)
}
