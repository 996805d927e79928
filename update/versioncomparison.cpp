#include "app/mainwindow.h"

#include <QDir>
#include <QFile>

void MainWindow::compararVersiones(bool downSucc, const QString &strError)
{
    // Everything taken from outside the program (the download's message,
    // paths, versions) is escaped: the console renders HTML, and a published
    // version must not be able to restyle or hide the lines around it.
    if (!downSucc) {
        printConsole(QStringLiteral("^ [") + strError.toHtmlEscaped() + QStringLiteral("]"), 0);
        emit errorGeneral(100);
        return;
    }

    printConsole(QStringLiteral("Comparando con la version instalada del software "
                                "../telvora-version.xml"),
                 2);

    // At the root the directory stands in for its own parent. The paths are
    // joined by QDir, which knows that a root already ends in a slash.
    const QDir current = QDir::current();
    QDir parent = current;
    parent.cdUp();
    const QString installed = parent.filePath(QStringLiteral("telvora-version.xml"));
    const QString published = current.filePath(QStringLiteral("temp/telvora-version.xml"));

    if (!QFile::exists(published) || !QFile::exists(installed)) {
        printConsole(QStringLiteral("Archivos XML no encontrado..."), 0);
        printConsole(installed.toHtmlEscaped(), 0);
        printConsole(published.toHtmlEscaped(), 0);
        return;
    }

    // Published first: the reader's own lines come in this order.
    const QString publishedVersion = getVersionXML(published);
    const QString installedVersion = getVersionXML(installed);

    // An empty version is one the updater could not learn; comparing it
    // would report a verdict on nothing.
    if (installedVersion.isEmpty() || publishedVersion.isEmpty()) {
        if (installedVersion.isEmpty())
            printConsole(QStringLiteral("Version no encontrada en ") + installed.toHtmlEscaped(), 0);
        if (publishedVersion.isEmpty())
            printConsole(QStringLiteral("Version no encontrada en ") + published.toHtmlEscaped(), 0);
        return;
    }

    // Versions are opaque: equal means the very same text, blanks and case included.
    if (installedVersion == publishedVersion) {
        printConsole(QStringLiteral("Software en su version mas  reciente!"), 1);
    } else {
        printConsole(QStringLiteral("Hay actualizaciones disponibles"), 1);
        printConsole(QStringLiteral("Version actual: ") + installedVersion.toHtmlEscaped(), 2);
        printConsole(QStringLiteral("Version disponible: ") + publishedVersion.toHtmlEscaped(), 2);
    }
}
