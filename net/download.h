#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "ownconnection.h"
#include "readlimit.h"

QT_BEGIN_NAMESPACE
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
QT_END_NAMESPACE

// One download in flight: its reply, the body taken so far, the limits that
// end it early and what is known of how far it got. A child of its reply,
// so it goes when the reply does.
class Download : public QObject
{
    Q_OBJECT

public:
    // Sends request through manager and watches the reply, which is to be
    // abandoned if it is not finished transferDeadline ms from now. fileName
    // is the name in temp to save under, or empty for the one the URL gives.
    Download(QNetworkAccessManager *manager, const QNetworkRequest &request,
             const QString &fileName, int transferDeadline);

    QNetworkReply *reply() const { return m_reply; }
    QString fileName() const { return m_fileName; }
    const QByteArray &body() const { return m_body; }

    // Once the reply has finished: why its body must not be saved, or an
    // empty string if it may be.
    QString failure();

private slots:
    void noteConnected();
    void sendWithoutDelay();
    void noteCertificateProblems(const QList<QSslError> &errors);
    void readHeaders();
    void readBody();
    void endReadFlood();
    void endAtDeadline();

private:
    bool takeBody();
    void abandon(const QString &failure);
    QString networkFailure() const;

    QNetworkReply *m_reply = nullptr;
    QString m_fileName;
    QByteArray m_body;
    QTimer m_deadline;
    ReadLimit m_reads;
    OwnConnection m_connection;
    // What is known, whatever order Qt reports it in: a finished TLS
    // handshake or a request that went out means that the connection was
    // made, and headers that arrived mean both.
    bool m_connected = false;
    bool m_headersComplete = false;
    QStringList m_certificateProblems;
    // Set when this object ended the transfer itself, and why.
    QString m_failure;
};
