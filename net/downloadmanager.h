#pragma once

#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslError>

QT_BEGIN_NAMESPACE
class QNetworkReply;
class QUrl;
QT_END_NAMESPACE

// Fetches URLs with an HTTP(S) GET into the folder temp under the current
// directory, and reports each outcome through downFinished.
class DownloadManager : public QObject
{
    Q_OBJECT

public:
    explicit DownloadManager(QObject *parent = nullptr);

    void download(const QUrl &url);

signals:
    void downFinished(bool b, const QString &msg);

public slots:
    void downloadFinished(QNetworkReply *reply);
    void sslErrors(const QList<QSslError> &errors);

private:
    QNetworkAccessManager netManager;
    QList<QNetworkReply *> pendingReplies;
};
