#include "httpsserver.h"

#include <QFile>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <numeric>
#include <utility>

// Filler for the endless behaviours goes out in pieces of about this size,
// and no more than FillerQueued bytes wait in a socket at a time, so the
// server's own memory stays flat however slowly the client reads.
static constexpr int FillerPiece = 64 * 1024;
static constexpr qint64 FillerQueued = 256 * 1024;

// A filler piece made of whole copies of unit.
static QByteArray repeated(const QByteArray &unit)
{
    return unit.repeated(FillerPiece / unit.size());
}

// The start of a deflate stream after which every zero byte inflates to 1032
// zeros: one dynamic block, never ended, whose only codes are a literal zero
// and a copy of 258 bytes from distance 1, the copy's length and distance
// codes being a single 0 bit each. A sender needs no compressor and no memory
// to keep such a stream going.
static QByteArray endlessZerosDeflate()
{
    QByteArray stream;
    quint32 pending = 0;
    int pendingBits = 0;
    // Header fields and extra bits go least significant bit first...
    const auto bits = [&](quint32 value, int count) {
        pending |= value << pendingBits;
        for (pendingBits += count; pendingBits >= 8; pendingBits -= 8) {
            stream += char(pending & 0xff);
            pending >>= 8;
        }
    };
    // ... Huffman codes most significant bit first.
    const auto code = [&](quint32 value, int count) {
        while (count-- > 0)
            bits((value >> count) & 1, 1);
    };

    bits(0, 1); // not the final block
    bits(2, 2); // dynamic codes
    bits(286 - 257, 5); // literal/length codes 0..285, 285 being a length of 258
    bits(1 - 1, 5); // one distance code, for distance 1
    bits(18 - 4, 4); // code length code lengths, up to that of 1 in this order:
    for (int symbol : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1})
        bits(symbol == 18 ? 1 : (symbol == 1 || symbol == 2) ? 2 : 0, 3);
    // So the code length codes are 18 (a run of zeros): 0, 1: 10 and 2: 11.
    const auto length = [&](int bitCount) { code(bitCount == 1 ? 0b10 : 0b11, 2); };
    const auto unused = [&](int count) {
        code(0, 1);
        bits(count - 11, 7);
    };
    length(2); // literal 0
    unused(138);
    unused(117); // literals 1..255
    length(2); // end of block
    unused(28); // lengths 257..284
    length(1); // length 258
    length(1); // distance 1
    // Hence length 258: 0, literal 0: 10, end of block: 11, distance 1: 0.
    code(0b10, 2);
    // What is left of the last byte, like every byte after it, is copies.
    if (pendingBits > 0)
        stream += char(pending);
    return stream;
}

static QByteArray chunk(const QByteArray &data)
{
    return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
}

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
    const QString frontPortFile = qEnvironmentVariable("TELVORA_TEST_TLS_FRONT");
    if (frontPortFile.isEmpty()) {
        if (!listen(QHostAddress::LocalHost, port))
            return false;
        m_port = serverPort();
        return true;
    }
    return listen(QHostAddress::LocalHost, 0) && openTlsFront(frontPortFile, port);
}

void HttpsServer::stop()
{
    close();
    delete m_tlsFrontControl;
    m_tlsFrontControl = nullptr;
}

// portFile holds the port on which the front takes control connections; the
// front wrote it there when it started.
bool HttpsServer::openTlsFront(const QString &portFile, quint16 port)
{
    QFile file(portFile);
    bool ok = false;
    const quint16 controlPort =
            file.open(QIODevice::ReadOnly) ? file.readLine().trimmed().toUShort(&ok) : 0;
    if (!ok) {
        qWarning("no TLS front: no port in %s", qPrintable(portFile));
        return false;
    }
    const QString front = QStringLiteral("127.0.0.1:%1").arg(controlPort);
    delete m_tlsFrontControl;
    m_tlsFrontControl = new QTcpSocket(this);
    QTcpSocket &control = *m_tlsFrontControl;
    control.connectToHost(QHostAddress::LocalHost, controlPort);
    if (!control.waitForConnected(10000)) {
        qWarning("no TLS front at %s: %s", qPrintable(front), qPrintable(control.errorString()));
        return false;
    }
    control.write(QByteArray::number(serverPort()) + ' ' + QByteArray::number(port) + '\n'
                  + m_certificate.toPem() + m_key.toPem() + "END\n");
    while (!control.canReadLine() && control.waitForReadyRead(10000)) { }
    const QByteArray answer = control.readLine().trimmed();
    m_port = answer.toUShort(&ok);
    if (!ok)
        qWarning("the TLS front at %s answered \"%s\"", qPrintable(front), answer.constData());
    return ok;
}

// Sends the TLS front one line of its control protocol and waits for its "ok".
bool HttpsServer::tellTlsFront(const QByteArray &line)
{
    QTcpSocket &control = *m_tlsFrontControl;
    control.write(line + '\n');
    while (!control.canReadLine() && control.waitForReadyRead(10000)) { }
    return control.readLine().trimmed() == "ok";
}

bool HttpsServer::setHandshakeDelay(int msec)
{
    m_handshakeDelay = msec;
    return !m_tlsFrontControl || tellTlsFront("delay " + QByteArray::number(msec));
}

QUrl HttpsServer::url(const QString &path) const
{
    if (m_plain)
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path),
                    QUrl::StrictMode);
    return QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(m_port).arg(path), QUrl::StrictMode);
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
    Connection connection;
    connection.plain = m_plain;
    m_connections.insert(socket, connection);
    connect(socket, &QObject::destroyed, this, [this, socket] {
        const Connection connection = m_connections.take(socket);
        if (connection.sinceRequest.isValid() && !connection.closing)
            m_hangUps[connection.path].append(connection.sinceRequest.elapsed());
        m_held.erase(std::remove_if(m_held.begin(), m_held.end(),
                                    [socket](const auto &held) { return held.first == socket; }),
                     m_held.end());
    });
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    // A plain socket whose client hung up amid a flood learns it from a
    // failed write, and does not always report a disconnection.
    connect(socket, &QAbstractSocket::errorOccurred, socket, &QObject::deleteLater);
    connect(socket, &QSslSocket::readyRead, this, [this, socket] { readRequest(socket); });

    if (connection.plain || m_tlsFrontControl)
        return; // no TLS, or the front speaks it
    socket->setLocalCertificate(m_certificate);
    socket->setPrivateKey(m_key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    if (m_handshakeDelay > 0)
        QTimer::singleShot(m_handshakeDelay, socket, [socket] { socket->startServerEncryption(); });
    else
        socket->startServerEncryption();
}

void HttpsServer::readRequest(QSslSocket *socket)
{
    // Left where it is, the client's hello waits for a delayed handshake.
    Connection &connection = m_connections[socket];
    if (!connection.plain && !m_tlsFrontControl && !socket->isEncrypted())
        return;
    QByteArray &request = connection.request;
    if (request.endsWith("\r\n\r\n"))
        return; // answered already; one request per connection
    request += socket->readAll();
    const int end = request.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    request.truncate(end + 4);
    connection.sinceRequest.start();
    m_lastRequest = request;

    // "GET /path HTTP/1.1"
    const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
    const QString path = QString::fromLatin1(words.value(1));
    connection.path = path;
    ++m_requestCounts[path];

    Response notFound;
    notFound.status = 404;
    notFound.body = "not found\n";
    const Response response = m_responses.value(path, notFound);
    if (response.behaviour == HoldUntilReleased) {
        Response later = response;
        later.behaviour = Normal;
        m_held.append({socket, later});
    } else if (response.delay > 0) {
        // Precise: a coarse timer may answer up to 5 % early, half a second
        // of a 10 s delay.
        QTimer::singleShot(response.delay, Qt::PreciseTimer, socket,
                           [this, socket, response] { respond(socket, response); });
    } else {
        respond(socket, response);
    }
}

void HttpsServer::respond(QSslSocket *socket, const Response &response)
{
    switch (response.behaviour) {
    case Normal:
    case HoldUntilReleased:
        sendHead(socket, response, response.framing);
        send(socket,
             response.framing == Chunked ? chunk(response.body) + chunk(QByteArray())
                                         : response.body);
        if (response.closeNotify)
            finish(socket);
        else
            cut(socket);
        break;
    case EndlessBody:
        sendHead(socket, response, Chunked);
        flood(socket, chunk(QByteArray(FillerPiece, 'x')));
        break;
    case EndlessHeaderLine:
        send(socket, "HTTP/1.1 200 OK\r\nX-Flood: ");
        flood(socket, QByteArray(FillerPiece, 'x'));
        break;
    case EndlessHeaderLines:
        send(socket, "HTTP/1.1 200 OK\r\n");
        flood(socket, repeated("X-Flood: " + QByteArray(53, 'x') + "\r\n"));
        break;
    case EndlessInterimResponses:
        flood(socket, repeated("HTTP/1.1 100 Continue\r\n\r\n"));
        break;
    case EndlessChunkSizeLine:
        sendHead(socket, response, Chunked);
        flood(socket, QByteArray(FillerPiece, '0'));
        break;
    case EndlessChallenge: {
        Response challenge = response;
        challenge.status = 401;
        challenge.headers.append(
                qMakePair(QByteArray("WWW-Authenticate"), QByteArray("Basic realm=\"updates\"")));
        sendHead(socket, challenge, Chunked);
        flood(socket, chunk(QByteArray(FillerPiece, 'x')));
        break;
    }
    case GzipBomb:
    case DeflateBomb: {
        const bool gzip = response.behaviour == GzipBomb;
        Response bomb = response;
        bomb.headers.append(
                qMakePair(QByteArray("Content-Encoding"), QByteArray(gzip ? "gzip" : "deflate")));
        // A gzip member header without names or times, or a zlib header.
        bomb.body = (gzip ? QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10)
                          : QByteArray("\x78\x9c"))
                + endlessZerosDeflate();
        sendHead(socket, bomb, Chunked);
        send(socket, chunk(bomb.body));
        flood(socket, chunk(QByteArray(FillerPiece, '\0')));
        break;
    }
    case StallAfterHeaders:
        sendHead(socket, response, ContentLength);
        break;
    case Drip:
        sendHead(socket, response, ContentLength);
        drip(socket, response.body, true);
        break;
    case DripHeaders:
        send(socket, "HTTP/1.1 200 OK\r\nX-Drip: ");
        drip(socket, QByteArray(FillerPiece, 'x'), false);
        break;
    case CloseWithoutReply:
        finish(socket);
        break;
    }
}

void HttpsServer::sendHead(QSslSocket *socket, const Response &response, Framing framing)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
            + reasonPhrase(response.status) + "\r\nConnection: close\r\n";
    if (framing == ContentLength)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    else if (framing == Chunked)
        head += "Transfer-Encoding: chunked\r\n";
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    send(socket, head + "\r\n");
}

void HttpsServer::send(QSslSocket *socket, const QByteArray &data)
{
    socket->write(data);
    m_bytesSent += data.size();
}

// Repeats filler on the socket until the client goes away or the endless
// limit's bytes of it have gone out.
void HttpsServer::flood(QSslSocket *socket, const QByteArray &filler)
{
    m_connections[socket].filler = filler;
    // Written out: encrypted over TLS, plain behind a TLS front.
    connect(socket, &QSslSocket::encryptedBytesWritten, this,
            [this, socket] { pumpFiller(socket); });
    connect(socket, &QSslSocket::bytesWritten, this, [this, socket] { pumpFiller(socket); });
    pumpFiller(socket);
}

void HttpsServer::pumpFiller(QSslSocket *socket)
{
    Connection &connection = m_connections[socket];
    qint64 &sent = connection.fillerSent;
    while (socket->state() == QAbstractSocket::ConnectedState && sent < m_endlessLimit
           && socket->bytesToWrite() + socket->encryptedBytesToWrite() < FillerQueued) {
        send(socket, connection.filler);
        sent += connection.filler.size();
    }
    if (sent >= m_endlessLimit)
        finish(socket);
}

// Sends data a byte per drip interval, then closes the connection if asked
// to, or else stays silent.
void HttpsServer::drip(QSslSocket *socket, const QByteArray &data, bool thenClose)
{
    auto *timer = new QTimer(socket);
    connect(timer, &QTimer::timeout, this,
            [this, socket, timer, data, thenClose, next = 0]() mutable {
                if (next < data.size()) {
                    send(socket, data.mid(next++, 1));
                } else {
                    timer->stop();
                    if (thenClose)
                        finish(socket);
                }
            });
    timer->start(m_dripInterval);
}

// The server's own end of an answer, as opposed to the client's hang-up.
void HttpsServer::finish(QSslSocket *socket)
{
    m_connections[socket].closing = true;
    socket->disconnectFromHost();
}

// Ends the answer as a cut connection ends, without TLS's close_notify.
void HttpsServer::cut(QSslSocket *socket)
{
    Connection &connection = m_connections[socket];
    connection.closing = true;
    if (connection.plain) {
        // Plain HTTP has no close_notify: every end is a cut.
        socket->disconnectFromHost();
        return;
    }
    if (m_tlsFrontControl) {
        tellTlsFront("cut " + QByteArray::number(socket->peerPort()));
        socket->disconnectFromHost();
        return;
    }
    // Only disconnectFromHost() sends close_notify; abort() drops what is not
    // yet out, so it waits for that.
    const auto abortWhenSent = [socket] {
        if (socket->bytesToWrite() == 0 && socket->encryptedBytesToWrite() == 0)
            socket->abort();
    };
    connect(socket, &QSslSocket::encryptedBytesWritten, socket, abortWhenSent);
    abortWhenSent();
}
