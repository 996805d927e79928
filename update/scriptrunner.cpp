#include "app/mainwindow.h"

void MainWindow::execBatchFile(bool b)
{
    Q_UNUSED(b)
}

void MainWindow::readOutput() { }

void MainWindow::readError() { }
