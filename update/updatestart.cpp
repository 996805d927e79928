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

#include <filesystem>
#include <system_error>

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
    // Made through std::filesystem because QDir::mkdir keeps the system's
    // reason to itself, and without it an updater installed where its user
    // may not write only shows later that the manifest cannot be saved. The
    // name goes over from UTF-16, as Qt 6 itself converts names for it.
    std::error_code error;
    std::filesystem::create_directory(std::filesystem::path(path.toStdU16String()), error);

    // What counts is a folder standing there now: create_directory reports
    // one that stood there before as neither made nor failed.
    if (QFileInfo(path).isDir()) {
        printConsole(QStringLiteral("^ [OK]"), 2);
        return;
    }
    QString line = QStringLiteral("^ [ERROR] No se pudo crear el directorio temporal ")
            + path.toHtmlEscaped();
    // The system words its reason in the language and code page of its locale.
    if (error)
        line += QStringLiteral(": ")
                + QString::fromLocal8Bit(error.message().c_str()).toHtmlEscaped();
    printConsole(line, 0);
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
