#include "httpsserver.h"

#include <QSslSocket>
#include <QTimer>

#include <algorithm>
#include <numeric>
#include <utility>

// Filler for EndlessBody goes out in pieces of this size, and no more than
// FillerQueued bytes wait in a socket at a time, so the server's own memory
// stays flat however slowly the client reads.
static constexpr int FillerPiece = 64 * 1024;
static constexpr qint64 FillerQueued = 256 * 1024;

static QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

HttpsServer::HttpsServer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent)
    : QTcpServer(parent)
    , m_certificate(certificate)
    , m_key(key)
{ }

bool HttpsServer::start(quint16 port)
{
    return listen(QHostAddress::LocalHost, port);
}

QUrl HttpsServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(serverPort()).arg(path),
                QUrl::StrictMode);
}

void HttpsServer::setResponse(const QString &path, const Response &response)
{
    m_responses.insert(path, response);
}

void HttpsServer::setResponse(const QString &path, const QByteArray &body, int status)
{
    Response response;
    response.status = status;
    response.body = body;
    setResponse(path, response);
}

void HttpsServer::release()
{
    const auto held = std::exchange(m_held, {});
    for (const auto &[socket, response] : held)
        respond(socket, response);
}

int HttpsServer::requestCount() const
{
    return std::accumulate(m_requestCounts.cbegin(), m_requestCounts.cend(), 0);
}

int HttpsServer::requestCount(const QString &path) const
{
    return m_requestCounts.value(path);
}

void HttpsServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        return;
    }
    m_connections.insert(socket, Connection());
    connect(socket, &QObject::destroyed, this, [this, socket] {
        m_connections.remove(socket);
        m_held.erase(std::remove_if(m_held.begin(), m_held.end(),
                                    [socket](const auto &held) { return held.first == socket; }),
                     m_held.end());
    });
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QSslSocket::readyRead, this, [this, socket] { readRequest(socket); });

    socket->setLocalCertificate(m_certificate);
    socket->setPrivateKey(m_key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->startServerEncryption();
}

void HttpsServer::readRequest(QSslSocket *socket)
{
    QByteArray &request = m_connections[socket].request;
    if (request.endsWith("\r\n\r\n"))
        return; // answered already; one request per connection
    request += socket->readAll();
    const int end = request.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    request.truncate(end + 4);

    // "GET /path HTTP/1.1"
    const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
    const QString path = QString::fromLatin1(words.value(1));
    ++m_requestCounts[path];

    Response notFound;
    notFound.status = 404;
    notFound.body = "not found\n";
    const Response response = m_responses.value(path, notFound);
    if (response.behaviour == HoldUntilReleased) {
        Response later = response;
        later.behaviour = Normal;
        m_held.append({socket, later});
    } else {
        respond(socket, response);
    }
}

void HttpsServer::respond(QSslSocket *socket, const Response &response)
{
    switch (response.behaviour) {
    case Normal:
    case HoldUntilReleased:
        sendHead(socket, response, response.announceLength);
        sendBody(socket, response.body);
        socket->disconnectFromHost();
        break;
    case EndlessBody:
        sendHead(socket, response, false);
        connect(socket, &QSslSocket::encryptedBytesWritten, this,
                [this, socket] { pumpFiller(socket); });
        pumpFiller(socket);
        break;
    case StallAfterHeaders:
        sendHead(socket, response, true);
        break;
    case Drip:
        sendHead(socket, response, true);
        drip(socket, response.body);
        break;
    case CloseWithoutReply:
        socket->disconnectFromHost();
        break;
    }
}

void HttpsServer::sendHead(QSslSocket *socket, const Response &response, bool withLength)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
            + reasonPhrase(response.status) + "\r\nConnection: close\r\n";
    if (withLength)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    socket->write(head + "\r\n");
}

void HttpsServer::sendBody(QSslSocket *socket, const QByteArray &data)
{
    socket->write(data);
    m_bodyBytesSent += data.size();
}

void HttpsServer::pumpFiller(QSslSocket *socket)
{
    static const QByteArray piece(FillerPiece, 'x');
    qint64 &sent = m_connections[socket].fillerSent;
    while (socket->state() == QAbstractSocket::ConnectedState && sent < EndlessLimit
           && socket->bytesToWrite() + socket->encryptedBytesToWrite() < FillerQueued) {
        sendBody(socket, piece);
        sent += piece.size();
    }
    if (sent >= EndlessLimit)
        socket->disconnectFromHost();
}

void HttpsServer::drip(QSslSocket *socket, const QByteArray &body)
{
    auto *timer = new QTimer(socket);
    connect(timer, &QTimer::timeout, this, [this, socket, timer, body, next = 0]() mutable {
        if (next < body.size()) {
            sendBody(socket, body.mid(next++, 1));
        } else {
            timer->stop();
            socket->disconnectFromHost();
        }
    });
    timer->start(m_dripInterval);
}
