#include "downloadmanager.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

#include <cstdio>

// Why the end of the response's body cannot be known, or an empty string when
// it can. Without a length or the chunked coding, only TLS's close_notify
// tells a whole body from one cut short, and Qt reports a connection that
// just ends as if it had sent one.
static QString framingFault(const QNetworkReply *reply)
{
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 204)
        return QString(); // no content, ever
    // Qt joins the values of a header that came more than once with ", ".
    const QByteArray length = reply->rawHeader("Content-Length");
    const QByteArray coding = reply->rawHeader("Transfer-Encoding");
    if (!coding.isEmpty() && !length.isEmpty())
        return QStringLiteral("the body is framed both by Content-Length and by Transfer-Encoding");
    if (coding.split(',').last().trimmed().toLower() == "chunked")
        return QString();
    if (length.isEmpty())
        return QStringLiteral("the body's end is not marked (no Content-Length, not chunked), so "
                              "a cut-off body could not be told from a whole one");
    const QList<QByteArray> lengths = length.split(',');
    for (const QByteArray &value : lengths) {
        bool number = false;
        value.trimmed().toULongLong(&number);
        if (!number || value.trimmed() != lengths.first().trimmed())
            return QStringLiteral("invalid Content-Length (%1)").arg(QString::fromLatin1(length));
    }
    return QString();
}

static QString tooLarge()
{
    return QStringLiteral("the body is larger than %1 bytes (size limit)")
            .arg(DownloadManager::MaxBodySize);
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

void DownloadManager::setHeaderTimeout(int msec)
{
    headerTimeout = msec;
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
    // A connection of its own for every download: the header clock below
    // starts at the TLS handshake, and Qt 5 says nothing when it sends a
    // request over a connection kept from an earlier one.
    request.setRawHeader("Connection", "close");

    QNetworkReply *reply = netManager.get(request);
    // Unbounded, Qt reads the whole body into the reply ahead of us, however
    // long the server keeps sending; bounded, it waits until we have taken
    // what it holds, so memory stays near MaxBodySize.
    reply->setReadBufferSize(ReadBufferSize);
    Transfer transfer;
    transfer.fileName = fileName;
    transfers.insert(reply, transfer);

    connect(reply, &QNetworkReply::sslErrors, this, &DownloadManager::sslErrors);
    // Children of the reply, so they go when the reply is deleted.
    // Precise: a coarse timer may fire 5 % early, before the time that the
    // message then names.
    auto *headerTimer = new QTimer(reply);
    headerTimer->setSingleShot(true);
    headerTimer->setTimerType(Qt::PreciseTimer);
    const int headerLimit = headerTimeout;
    connect(headerTimer, &QTimer::timeout, this, [this, reply, headerLimit] {
        abandon(reply,
                QStringLiteral("the response headers were not complete within %1 ms of the "
                               "request (header time-out)")
                        .arg(headerLimit));
    });
    // The header clock starts once the request has gone out on an established
    // connection. Resolving the name, connecting and the TLS handshake take
    // three or four round trips before that, seconds on a slow or lossy link,
    // and are bounded by the inactivity time-out and the deadline instead.
    const auto requestOut = [this, reply, headerTimer, headerLimit] {
        const auto transfer = transfers.find(reply);
        if (transfer == transfers.end() || transfer->requestOut || transfer->headersComplete)
            return;
        transfer->requestOut = true;
        headerTimer->start(headerLimit);
    };
    connect(reply, &QNetworkReply::encrypted, this, requestOut);
#if QT_VERSION >= QT_VERSION_CHECK(6, 3, 0)
    connect(reply, &QNetworkReply::requestSent, this, requestOut);
#else
    // Qt 5 tells of the TLS handshake, but not when a plain request has gone out.
    if (url.scheme() != QLatin1String("https"))
        requestOut();
#endif

    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply, headerTimer] {
        const auto transfer = transfers.find(reply);
        if (transfer == transfers.end())
            return;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        // An interim 1xx response is no answer yet.
        if (status.isValid() && status.toInt() >= 200) {
            transfer->headersComplete = true;
            headerTimer->stop();
            // A status outside 2xx fails anyway, with a message of its own.
            const QString fault = status.toInt() <= 299 ? framingFault(reply) : QString();
            if (!fault.isEmpty()) {
                abandon(reply, fault);
                return;
            }
        }
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > MaxBodySize)
            abandon(reply, tooLarge());
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        const auto transfer = transfers.find(reply);
        if (transfer != transfers.end() && !takeBody(reply, *transfer))
            abandon(reply, tooLarge());
    });

    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    deadline->setTimerType(Qt::PreciseTimer);
    const int limit = transferDeadline;
    connect(deadline, &QTimer::timeout, this, [this, reply, limit] {
        abandon(reply, QStringLiteral("not complete within %1 ms (transfer deadline)").arg(limit));
    });
    deadline->start(limit);

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
    QSaveFile file(fileName);
    // Unbuffered, so that a failing write says why at once instead of
    // leaving a bare "Unknown error" to the final flush.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        std::fprintf(stderr, "Could not open %s for writing: %s\n", qPrintable(fileName),
                     qPrintable(file.errorString()));
        if (errorString)
            *errorString = file.errorString();
        return false;
    }

    // A short write is no error to QFileDevice (a full disk gives one);
    // writing on brings out the error. Whatever fails, the file that stood
    // there stays as it was.
    const QByteArray bytes = data->readAll();
    qint64 written = 0;
    while (written < bytes.size()) {
        const qint64 count = file.write(bytes.constData() + written, bytes.size() - written);
        if (count <= 0) {
            if (errorString)
                *errorString = file.errorString();
            file.cancelWriting();
            return false;
        }
        written += count;
    }
    if (!file.commit()) {
        if (errorString)
            *errorString = file.errorString();
        return false;
    }
    return true;
}

void DownloadManager::downloadFinished(QNetworkReply *reply)
{
    Transfer transfer = transfers.take(reply);
    const QString failure = failureOf(reply, transfer);
    if (!failure.isEmpty()) {
        emit downFinished(false, QStringLiteral("Download failed: ") + failure + QLatin1Char('\n'));
    } else {
        const QString name =
                transfer.fileName.isEmpty() ? targetFileName(reply->url()) : transfer.fileName;
        const QString fileName = QDir::current().filePath(QStringLiteral("temp/") + name);
        QBuffer body(&transfer.body);
        body.open(QIODevice::ReadOnly);
        QString error;
        if (writeToFile(fileName, &body, &error))
            emit downFinished(true,
                              QStringLiteral("Download succeeded (saved to ") + fileName
                                      + QStringLiteral(")\n"));
        else
            emit downFinished(false,
                              QStringLiteral("Download failed: cannot save ") + fileName
                                      + QStringLiteral(": ") + error + QLatin1Char('\n'));
    }

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

// Takes what the reply holds, but never more than one byte past the cap.
// Returns false once the body is past the cap.
bool DownloadManager::takeBody(QNetworkReply *reply, Transfer &transfer)
{
    transfer.body += reply->read(MaxBodySize + 1 - transfer.body.size());
    return transfer.body.size() <= MaxBodySize;
}

void DownloadManager::abandon(QNetworkReply *reply, const QString &failure)
{
    const auto transfer = transfers.find(reply);
    if (transfer == transfers.end() || reply->isFinished())
        return;
    transfer->failure = failure;
    // abort() reports the reply finished, through downloadFinished, before it
    // returns.
    reply->abort();
}

// Why the finished reply must not be saved, or an empty string if it may be.
QString DownloadManager::failureOf(QNetworkReply *reply, Transfer &transfer)
{
    // Qt 5.15 finishes a redirect without an error, and the page of a
    // redirect or an error status is not the file asked for.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299))
        return QStringLiteral("HTTP status %1 %2")
                .arg(status.toInt())
                .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    if (!transfer.failure.isEmpty())
        return transfer.failure;
    // This object aborts a reply only after setting failure above, so a
    // cancelled reply is one that Qt ended at the inactivity time-out. Qt's
    // clock runs from the start of the download until the first body bytes.
    if (reply->error() == QNetworkReply::OperationCanceledError) {
        const int msec = reply->request().transferTimeout();
        if (!transfer.requestOut)
            return QStringLiteral("the connection was not established within %1 ms "
                                  "(inactivity time-out)")
                    .arg(msec);
        if (!transfer.headersComplete)
            return QStringLiteral("the response headers were not complete within %1 ms "
                                  "(inactivity time-out)")
                    .arg(msec);
        return QStringLiteral("nothing received for %1 ms (inactivity time-out)").arg(msec);
    }
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    if (!takeBody(reply, transfer))
        return tooLarge();
    return QString();
}
