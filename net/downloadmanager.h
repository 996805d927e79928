#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslError>
#include <QString>

QT_BEGIN_NAMESPACE
class QIODevice;
class QNetworkReply;
class QUrl;
QT_END_NAMESPACE

// Fetches URLs with an HTTP(S) GET into the folder temp under the current
// directory, and reports each outcome through downFinished. Several downloads
// may be in flight at once; each is reported when it finishes.
class DownloadManager : public QObject
{
    Q_OBJECT

public:
    // The largest body saved; anything longer is abandoned as soon as it
    // passes this. What is fetched is a manifest of a few hundred bytes.
    static constexpr qint64 MaxBodySize = 1024 * 1024;
    // A download that receives nothing for this long is abandoned.
    static constexpr int DefaultInactivityTimeout = 30 * 1000;
    // A download not complete this long after it was started is abandoned,
    // however steadily data still trickles in.
    static constexpr int DefaultTransferDeadline = 120 * 1000;
    // The status line and headers of the response must be complete this long
    // after the request has gone out. Debian's Qt keeps every header byte it
    // reads, without a size limit, so there this time is all that bounds the
    // memory a server can fill with headers that never end: about 60 MiB a
    // second over TLS on loopback. An honest server needs one round trip and
    // the repair of a lost packet: on a link with a 1 s round trip, 5 %
    // loss and 64 kbit/s the headers come within 1.2 s, or 3.2 s after one
    // repair; only two repairs in that one exchange (6 to 7 s) do not fit.
    static constexpr int DefaultHeaderTimeout = 5 * 1000;

    explicit DownloadManager(QObject *parent = nullptr);

    // Starts the download and returns; downFinished tells how it ended. The
    // body is saved in temp under fileName, replacing a file of that name
    // there, or without one under targetFileName(url).
    void download(const QUrl &url, const QString &fileName = QString());

    // The name under which the body of url is saved: the last segment of
    // the decoded path, "download" when that is empty or could name a place
    // outside temp, and ".0", ".1", ... appended while a file of that name
    // exists in the current directory.
    QString targetFileName(const QUrl &url);

    // Replaces fileName with everything that data still holds. Either the
    // whole new content lands or the file that stood there stays untouched.
    // On failure returns false and, when errorString is given, puts the file
    // error there; a file that cannot be opened is also reported on standard
    // error.
    bool writeToFile(const QString &fileName, QIODevice *data, QString *errorString = nullptr);

    // Limits for downloads started from now on, in milliseconds.
    void setInactivityTimeout(int msec);
    void setTransferDeadline(int msec);
    void setHeaderTimeout(int msec);

signals:
    void downFinished(bool b, const QString &msg);

public slots:
    void downloadFinished(QNetworkReply *reply);
    void sslErrors(const QList<QSslError> &errors);

private:
    // What a download in flight has gathered.
    struct Transfer
    {
        // The name in temp that download() was given, if any.
        QString fileName;
        QByteArray body;
        // Whether the request has gone out on an established connection
        // (where Qt cannot tell, from the start), which starts the header clock.
        bool requestOut = false;
        // Whether the final status line and headers have arrived.
        bool headersComplete = false;
        // Set when this object ended the transfer itself, and why.
        QString failure;
    };

    // How much Qt may read ahead of this object for one reply.
    static constexpr qint64 ReadBufferSize = 64 * 1024;

    bool takeBody(QNetworkReply *reply, Transfer &transfer);
    void abandon(QNetworkReply *reply, const QString &failure);
    QString failureOf(QNetworkReply *reply, Transfer &transfer);

    QNetworkAccessManager netManager;
    QList<QNetworkReply *> pendingReplies;
    QHash<QNetworkReply *, Transfer> transfers;
    int inactivityTimeout = DefaultInactivityTimeout;
    int transferDeadline = DefaultTransferDeadline;
    int headerTimeout = DefaultHeaderTimeout;
};
