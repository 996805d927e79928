#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "net/downloadmanager.h"
#include "update/manifesturl.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressBar>
#include <QTimer>
#include <QUrl>

void MainWindow::on_actionStart_triggered()
{
    // One check per run of the program: later Starts only tell how far it got.
    if (updateRunning) {
        QMessageBox::information(this, tr("Importante_"),
                                 tr("Actualizacion en curso %1%").arg(ui->progressBar->value()));
        return;
    }

    updateRunning = true;

    progressTimer = new QTimer(this);
    connect(progressTimer, &QTimer::timeout, this, [this] { progressBarSetValue(1); });
    progressTimer->start(2000);

    createTempDir();
    downloadVersionXML(manifestUrl());
}

void MainWindow::createTempDir()
{
    printConsole(QStringLiteral("Directorio temporal ../../temp"), 1);

    const QString path = QDir::current().filePath(QStringLiteral("temp"));
    if (!QDir(path).exists())
        QDir().mkdir(path);

    // Checked afterwards rather than by mkdir's result: a file named temp
    // fails the same way as a creation that was refused.
    if (QFileInfo(path).isDir())
        printConsole(QStringLiteral("^ [OK]"), 2);
    else
        printConsole(QStringLiteral("^ [ERROR] No se pudo crear el directorio temporal ")
                             + path.toHtmlEscaped(),
                     0);
}

void MainWindow::downloadVersionXML(const QString &url)
{
    printConsole(QStringLiteral("Descargando en ../temp/telvora-version.xml"), 1);

    auto *manager = new DownloadManager(this);
    // Saved where the comparison reads it. By the download manager's own rule
    // a file of that name in the updater's folder (at a drive root, which is
    // its own parent, or a copy left beside the updater) would move the
    // download to another name, and the comparison would read an older file.
    manager->download(QUrl(url, QUrl::TolerantMode), QStringLiteral("telvora-version.xml"));
    // Connecting after the request is safe: the outcome is only ever
    // reported from the event loop.
    connect(manager, &DownloadManager::downFinished, this, &MainWindow::compararVersiones);
}

void MainWindow::progressBarSetValue(int val)
{
    if (val != 1) {
        ui->progressBar->setValue(val);
        return;
    }

    // The bar shows elapsed time, not the download; ticks never take it past
    // 98, and a bar that a failed download set to 100 stops them at once.
    const int next = ui->progressBar->value() + 1;
    if (next <= 98) {
        ui->progressBar->setValue(next);
        return;
    }

    if (progressTimer) {
        disconnect(progressTimer, &QTimer::timeout, this, nullptr);
        progressTimer->stop();
        progressTimer->deleteLater();
        // Nothing needs the timer any more; forgetting it keeps a later call
        // from touching a deleted object.
        progressTimer = nullptr;
    }
}
