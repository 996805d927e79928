#include "downloadmanager.h"

#include "download.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

#include <cstdio>

// While another program holds the file to be replaced, a save is tried again
// this often.
static constexpr int SaveRetryInterval = 100;

// Replaces fileName with bytes; either all of them land or the file that
// stood there stays untouched. Returns how it failed, if it did.
static QFileDevice::FileError replaceFile(const QString &fileName, const QByteArray &bytes,
                                          QString *errorString)
{
    QSaveFile file(fileName);
    // Unbuffered, so that a failing write says why at once instead of
    // leaving a bare "Unknown error" to the final flush.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        std::fprintf(stderr, "Could not open %s for writing: %s\n", qPrintable(fileName),
                     qPrintable(file.errorString()));
        if (errorString)
            *errorString = file.errorString();
        return file.error();
    }

    // A short write is no error to QFileDevice (a full disk gives one);
    // writing on brings out the error.
    qint64 written = 0;
    while (written < bytes.size()) {
        const qint64 count = file.write(bytes.constData() + written, bytes.size() - written);
        if (count <= 0) {
            if (errorString)
                *errorString = file.errorString();
            const QFileDevice::FileError error = file.error();
            file.cancelWriting();
            return error == QFileDevice::NoError ? QFileDevice::WriteError : error;
        }
        written += count;
    }
    if (!file.commit()) {
        if (errorString)
            *errorString = file.errorString();
        return file.error() == QFileDevice::NoError ? QFileDevice::WriteError : file.error();
    }
    return QFileDevice::NoError;
}

DownloadManager::DownloadManager(QObject *parent)
    : QObject(parent)
{
    connect(&netManager, &QNetworkAccessManager::finished, this, &DownloadManager::downloadFinished);
}

void DownloadManager::setInactivityTimeout(int msec)
{
    inactivityTimeout = msec;
}

void DownloadManager::setTransferDeadline(int msec)
{
    transferDeadline = msec;
}

void DownloadManager::download(const QUrl &url, const QString &fileName)
{
    QNetworkRequest request(url);
    // A redirect ends the download as a failure instead of being followed:
    // the page it points to is not what was asked for. Qt 5.15 follows none
    // by default, but later versions do.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(inactivityTimeout);
    // Left to itself, Qt asks for gzip or deflate and inflates what comes
    // back with no bound on the result, ahead of the size limit. A manifest
    // is a few hundred bytes: asked for as it is, a compressed body arrives
    // as its own bytes and meets the size limit like any other.
    request.setRawHeader("Accept-Encoding", "identity");
    // The limits here are built around one HTTP/1.1 exchange, and a manifest
    // gains nothing from the HTTP/2 that Qt 6 offers over TLS by default.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    // A connection of its own for every download: Qt 5 does not report the
    // TLS handshake of a connection kept from an earlier download, and that
    // report is what tells a connection never made from a silent server.
    request.setRawHeader("Connection", "close");

    // The download sends the request itself, once it has noted what it
    // needs to know from before.
    QNetworkReply *reply =
            (new Download(&netManager, request, fileName, transferDeadline))->reply();
    connect(reply, &QNetworkReply::sslErrors, this, &DownloadManager::sslErrors);
    pendingReplies.append(reply);
}

QString DownloadManager::targetFileName(const QUrl &url)
{
    const QString path = url.path(QUrl::FullyDecoded);
    QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    // The name is joined to the temp folder's path: a dot name or a backslash
    // (a folder separator elsewhere) would lead out of it, and a NUL would
    // cut the name short in the system call.
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.contains(QLatin1Char('\\')) || name.contains(QChar(0)))
        name = QStringLiteral("download");

    // Looked up in the current directory although the file goes to temp:
    // so a name already taken in temp is reused, and the manifest always
    // lands under the name that the version comparison reads.
    if (QFile::exists(name)) {
        int i = 0;
        while (QFile::exists(name + QLatin1Char('.') + QString::number(i)))
            ++i;
        name += QLatin1Char('.') + QString::number(i);
    }
    return name;
}

bool DownloadManager::writeToFile(const QString &fileName, QIODevice *data, QString *errorString)
{
    return replaceFile(fileName, data->readAll(), errorString) == QFileDevice::NoError;
}

void DownloadManager::downloadFinished(QNetworkReply *reply)
{
    auto *download = reply->findChild<Download *>(QString(), Qt::FindDirectChildrenOnly);
    const QString failure = download->failure();
    if (!failure.isEmpty()) {
        finish(reply, false, QStringLiteral("Download failed: ") + failure + QLatin1Char('\n'));
        return;
    }
    const QString name =
            download->fileName().isEmpty() ? targetFileName(reply->url()) : download->fileName();
    save(reply, QDir::current().filePath(QStringLiteral("temp/") + name), QDeadlineTimer(SaveWait));
}

void DownloadManager::save(QNetworkReply *reply, const QString &fileName, const QDeadlineTimer &wait)
{
    const auto *download = reply->findChild<Download *>(QString(), Qt::FindDirectChildrenOnly);
    QString error;
    const QFileDevice::FileError result = replaceFile(fileName, download->body(), &error);
    if (result == QFileDevice::NoError) {
        finish(reply, true,
               QStringLiteral("Download succeeded (saved to ") + fileName + QStringLiteral(")\n"));
        return;
    }
    // Windows refuses to replace a file that another program has open, as
    // most programs open files: another updater reading it, a virus scanner,
    // an indexer. They let go within moments.
    if (result == QFileDevice::RenameError && !wait.hasExpired()) {
        QTimer::singleShot(SaveRetryInterval, reply,
                           [this, reply, fileName, wait] { save(reply, fileName, wait); });
        return;
    }
    finish(reply, false,
           QStringLiteral("Download failed: cannot save ") + fileName + QStringLiteral(": ") + error
                   + QLatin1Char('\n'));
}

void DownloadManager::finish(QNetworkReply *reply, bool ok, const QString &msg)
{
    emit downFinished(ok, msg);
    // Only now: a receiver of downFinished still finds the reply alive and listed.
    pendingReplies.removeAll(reply);
    reply->deleteLater();
}

void DownloadManager::sslErrors(const QList<QSslError> &errors)
{
    // Reported, never ignored: the reply then fails and says so.
    for (const QSslError &error : errors)
        std::fprintf(stderr, "SSL error: %s\n", qPrintable(error.errorString()));
}
