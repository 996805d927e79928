#include "app/mainwindow.h"

void MainWindow::on_actionStart_triggered() { }

void MainWindow::progressBarSetValue(int val)
{
    Q_UNUSED(val)
}
