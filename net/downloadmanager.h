#pragma once

#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslError>
#include <QString>

QT_BEGIN_NAMESPACE
class QDeadlineTimer;
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
    // A download that receives nothing for this long is abandoned. Qt's
    // clock runs from the start until the first body bytes, so a server that
    // is silent until it answers is waited for nearly as long: the response
    // headers have no limit in time of their own. A flood of headers is
    // bounded by the bytes it makes the program read (ReadLimit, or
    // Qt's own limit where it has one).
    static constexpr int DefaultInactivityTimeout = 30 * 1000;
    // A download not complete this long after it was started is abandoned,
    // however steadily data still trickles in.
    static constexpr int DefaultTransferDeadline = 120 * 1000;
    // How long a save waits for another program to let go of the file that
    // it replaces, before it fails.
    static constexpr int SaveWait = 2000;

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

signals:
    void downFinished(bool b, const QString &msg);

public slots:
    void downloadFinished(QNetworkReply *reply);
    void sslErrors(const QList<QSslError> &errors);

private:
    // Saves the finished reply's body as fileName, again and again while
    // another program holds the file, until wait has expired.
    void save(QNetworkReply *reply, const QString &fileName, const QDeadlineTimer &wait);
    // Reports the outcome, then lets the reply go.
    void finish(QNetworkReply *reply, bool ok, const QString &msg);

    QNetworkAccessManager netManager;
    QList<QNetworkReply *> pendingReplies;
    int inactivityTimeout = DefaultInactivityTimeout;
    int transferDeadline = DefaultTransferDeadline;
};
