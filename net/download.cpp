#include "download.h"

#include "downloadmanager.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

// How much Qt may read ahead of this object for one reply.
static constexpr qint64 ReadBufferSize = 64 * 1024;

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

Download::Download(QNetworkAccessManager *manager, const QNetworkRequest &request,
                   const QString &fileName, int transferDeadline)
    : m_fileName(fileName)
{
    // Only now, after the members that note what the process has read and
    // which sockets it has: Qt's HTTP thread may connect as soon as the
    // request is made.
    QNetworkReply *reply = m_reply = manager->get(request);
    setParent(reply);

    // Unbounded, Qt reads the whole body into the reply ahead of us, however
    // long the server keeps sending; bounded, it waits until we have taken
    // what it holds, so memory stays near the size limit.
    reply->setReadBufferSize(ReadBufferSize);

    connect(reply, &QNetworkReply::encrypted, this, &Download::noteConnected);
    connect(reply, &QNetworkReply::encrypted, this, &Download::sendWithoutDelay);
#if QT_VERSION >= QT_VERSION_CHECK(6, 3, 0)
    connect(reply, &QNetworkReply::requestSent, this, &Download::noteConnected);
#endif
    connect(reply, &QNetworkReply::sslErrors, this, &Download::noteCertificateProblems);
    connect(reply, &QNetworkReply::metaDataChanged, this, &Download::readHeaders);
    connect(reply, &QNetworkReply::readyRead, this, &Download::readBody);
    connect(&m_reads, &ReadLimit::exceeded, this, &Download::endReadFlood);

    // Precise: a coarse timer may fire 5 % early, before the time that the
    // message then names.
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
    connect(&m_deadline, &QTimer::timeout, this, &Download::endAtDeadline);
    m_deadline.start(transferDeadline);
}

QString Download::failure()
{
    m_deadline.stop();
    m_reads.stop();
    // Qt 5.15 finishes a redirect without an error, and the page of a
    // redirect or an error status is not the file asked for.
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299))
        return QStringLiteral("HTTP status %1 %2")
                .arg(status.toInt())
                .arg(m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    if (!m_failure.isEmpty())
        return m_failure;
    if (m_reply->error() != QNetworkReply::NoError)
        return networkFailure();
    if (!takeBody())
        return tooLarge();
    return QString();
}

void Download::noteConnected()
{
    m_connected = true;
}

void Download::sendWithoutDelay()
{
    m_connection.sendWithoutDelay(m_reply->url());
}

void Download::noteCertificateProblems(const QList<QSslError> &errors)
{
    for (const QSslError &error : errors)
        m_certificateProblems.append(error.errorString());
    m_certificateProblems.removeDuplicates();
}

void Download::readHeaders()
{
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // An interim 1xx response is no answer yet.
    if (status.isValid() && status.toInt() >= 200) {
        m_connected = true;
        m_headersComplete = true;
        // A status outside 2xx fails anyway, with a message of its own.
        const QString fault = status.toInt() <= 299 ? framingFault(m_reply) : QString();
        if (!fault.isEmpty()) {
            abandon(fault);
            return;
        }
    }
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > DownloadManager::MaxBodySize)
        abandon(tooLarge());
}

void Download::readBody()
{
    if (!takeBody())
        abandon(tooLarge());
}

void Download::endReadFlood()
{
    // Once the headers are complete, what the server can send without end
    // besides the body is the chunked coding's framing.
    if (m_headersComplete)
        abandon(QStringLiteral("the body's chunked framing was not complete within %1 bytes "
                               "(framing size limit)")
                        .arg(ReadLimit::Limit));
    else
        abandon(QStringLiteral("the response headers were not complete within %1 bytes (header "
                               "size limit)")
                        .arg(ReadLimit::Limit));
}

void Download::endAtDeadline()
{
    abandon(QStringLiteral("not complete within %1 ms (transfer deadline)")
                    .arg(m_deadline.interval()));
}

// Takes what the reply holds, but never more than one byte past the cap.
// Returns false once the body is past the cap.
bool Download::takeBody()
{
    m_body += m_reply->read(DownloadManager::MaxBodySize + 1 - m_body.size());
    m_reads.setBodySize(m_body.size());
    return m_body.size() <= DownloadManager::MaxBodySize;
}

void Download::abandon(const QString &failure)
{
    if (m_reply->isFinished())
        return;
    m_failure = failure;
    // The abort reaches Qt's HTTP thread only once that stops reading, which
    // over plain HTTP a flood may put off for as long as it lasts. Over TLS
    // it stops in time by itself, and the connection is left to it: another
    // download to the same server may take it for its own.
    if (m_reply->url().scheme() == QLatin1String("http"))
        m_connection.shutDown(m_reply->url());
    // abort() reports the reply finished, through the manager, before it
    // returns.
    m_reply->abort();
}

QString Download::networkFailure() const
{
    // This object aborts a reply only after setting m_failure, so a cancelled
    // reply is one that Qt ended at the inactivity time-out. Qt's clock runs
    // from the start of the download until the first body bytes, and then
    // between any two.
    if (m_reply->error() == QNetworkReply::OperationCanceledError) {
        const int msec = m_reply->request().transferTimeout();
        if (m_headersComplete)
            return QStringLiteral("nothing received for %1 ms (inactivity time-out)").arg(msec);
        // Qt reports the end of every TLS handshake, so over TLS a connection
        // not reported is one not made. Over plain HTTP nothing tells.
        if (!m_connected && m_reply->url().scheme() == QLatin1String("https"))
            return QStringLiteral("the connection was not established within %1 ms "
                                  "(inactivity time-out)")
                    .arg(msec);
        return QStringLiteral("the response headers were not complete within %1 ms "
                              "(inactivity time-out)")
                .arg(msec);
    }
    QString text = m_reply->errorString();
    if (m_certificateProblems.isEmpty())
        return text;
    // Qt 5 names none of the certificate's problems in its text, Qt 6 the
    // first one: the line names them all, once.
    for (const QString &problem : m_certificateProblems) {
        const int at = text.indexOf(QStringLiteral(": ") + problem);
        if (at >= 0)
            text.truncate(at);
    }
    return text + QStringLiteral(": ") + m_certificateProblems.join(QStringLiteral("; "));
}
