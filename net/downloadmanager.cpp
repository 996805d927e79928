#include "downloadmanager.h"

#include <QNetworkReply>

DownloadManager::DownloadManager(QObject *parent)
    : QObject(parent)
{ }

void DownloadManager::download(const QUrl &url)
{
    Q_UNUSED(url)
}

void DownloadManager::downloadFinished(QNetworkReply *reply)
{
    Q_UNUSED(reply)
}

void DownloadManager::sslErrors(const QList<QSslError> &errors)
{
    Q_UNUSED(errors)
}
