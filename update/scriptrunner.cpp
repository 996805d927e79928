#include "app/mainwindow.h"

#include <QByteArray>
#include <QMessageBox>
#include <QProcess>

namespace {

// The script belongs to the installation, not to the updater. On Windows it
// sits in a fixed folder; elsewhere it is update.sh in the application's
// folder, the parent of the updater's working directory.
#ifdef Q_OS_WIN
const char changeDirectoryLine[] = "cd C:/Users/operador/Desktop/soft\n";
const char runScriptLine[] = "update.bat\n";
#else
const char changeDirectoryLine[] = "cd ..\n";
const char runScriptLine[] = "sh update.sh\n";
#endif

// What the process wrote, up to its first NUL: the rest of the burst is dropped.
int lengthBeforeNul(const QByteArray &bytes)
{
    return int(qstrnlen(bytes.constData(), uint(bytes.size())));
}

} // namespace

void MainWindow::runUpdateScript()
{
    // A process from an earlier run is left running, owned by the window and
    // still connected; the slots read from the newest one, cmdProcess.
    cmdProcess = new QProcess(this);
    cmdProcess->setProcessChannelMode(QProcess::SeparateChannels);
    cmdProcess->start(cmdProgram, cmdArguments, QIODevice::ReadWrite);
    cmdProcess->waitForStarted(5000);

    connect(cmdProcess, &QProcess::readyReadStandardOutput, this, &MainWindow::readOutput);
    connect(cmdProcess, &QProcess::readyReadStandardError, this, &MainWindow::readError);

    cmdProcess->write(changeDirectoryLine);
    // The interpreter stays alive after the change of directory, so this wait
    // normally runs its full five seconds, and the window is frozen meanwhile.
    cmdProcess->waitForFinished(5000);
    cmdProcess->write(runScriptLine);
}

void MainWindow::readOutput()
{
    const QByteArray bytes = cmdProcess->readAllStandardOutput();
    // The console takes HTML; the script's text is shown as it was written.
    const QString text = QString::fromLatin1(bytes.constData(), lengthBeforeNul(bytes));
    printConsole(text.toHtmlEscaped(), 8);
}

void MainWindow::readError()
{
    const QByteArray bytes = cmdProcess->readAllStandardError();
    const QString text = QString::fromLocal8Bit(bytes.constData(), lengthBeforeNul(bytes));
    printConsole(text.toHtmlEscaped(), 7);
}

void MainWindow::execBatchFile(bool b)
{
    if (b)
        QMessageBox::information(this, tr("Success"), tr("Archivo descargado con exito!"));
    else
        QMessageBox::information(this, tr("Failed"), tr("Error al descargar el archivo."));
}
