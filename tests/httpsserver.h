#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QUrl>

#include <atomic>

QT_BEGIN_NAMESPACE
class QSslSocket;
class QTcpSocket;
QT_END_NAMESPACE

// A small HTTPS/1.1 server on 127.0.0.1 for tests, running in the test's own
// event loop. It answers GET requests from a table of canned responses keyed
// by path (a path not in the table gets a 404), one request per connection,
// and can misbehave in the ways a client has to survive.
class HttpsServer : public QTcpServer
{
    Q_OBJECT

public:
    enum Behaviour {
        Normal, // status line, headers, body, then the connection is closed (see Response)
        EndlessBody, // chunked; sends filler until the client goes away
        StallAfterHeaders, // announces the body's length, then sends nothing
        Drip, // announces the body's length, then sends it one byte per drip interval
        DripHeaders, // a status line, then one header line, a byte per drip interval, never ended
        CloseWithoutReply, // reads the request and closes the connection
        HoldUntilReleased, // answers like Normal, but only once release() is called
        EndlessHeaderLine, // a status line, then one header line that never ends
        EndlessHeaderLines, // a status line, then header lines without end
        EndlessInterimResponses, // "100 Continue" responses without end
        EndlessChunkSizeLine, // chunked, then a chunk-size line that never ends
        EndlessChallenge, // a 401 asking for a password, with a body without end
        GzipBomb, // a gzip body, chunked, that inflates to zeros without end, 1032 to a byte
        DeflateBomb, // the same as a deflate (zlib) body
    };

    // How Normal marks where the body ends.
    enum Framing {
        ContentLength, // the body's length in a header
        Chunked, // the body as one chunk, then the last chunk
        ConnectionClose, // nothing: the end of the connection ends the body
    };

    struct Response
    {
        int status = 200;
        QByteArray body;
        Behaviour behaviour = Normal;
        Framing framing = ContentLength;
        // When false, Normal ends the connection without TLS's close_notify,
        // as a cut connection ends.
        bool closeNotify = true;
        // Extra header lines, e.g. {"Location", "https://..."}.
        QList<QPair<QByteArray, QByteArray>> headers;
        // How long the answer takes to begin after the request, in ms.
        int delay = 0;
    };

    // An endless body or header stops after this many bytes all the same, so
    // that a client that never gives up cannot take the test machine down with it.
    static constexpr qint64 EndlessLimit = 64 * 1024 * 1024;

    HttpsServer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent = nullptr);

    // Listens on 127.0.0.1, on the given port or, with 0, on a free one.
    // Where TELVORA_TEST_TLS_FRONT names a TLS front (the file in which the
    // front wrote its control port, see tests/tls-front), the front listens
    // there instead with this server's certificate and passes plain HTTP on
    // to it: Windows' TLS under Wine can only be a client. Either way the
    // client sees the same HTTPS server.
    bool start(quint16 port = 0);
    // Stops listening, the TLS front included; start() may follow again.
    void stop();

    // https://127.0.0.1:<port><path>, or http:// for a plain server; path
    // starts with "/" and may hold percent-escapes, which are kept as they are.
    QUrl url(const QString &path) const;
    // Whether connections from now on speak plain HTTP, without TLS. Behind
    // a TLS front, the plain server is the one behind it.
    void setPlain(bool plain) { m_plain = plain; }

    void setResponse(const QString &path, const Response &response);
    void setResponse(const QString &path, const QByteArray &body, int status = 200);
    void setDripInterval(int msec) { m_dripInterval = msec; }
    // Where endless answers stop from now on, instead of EndlessLimit: a
    // measurement of what a flood costs a client must not see it end first.
    void setEndlessLimit(qint64 bytes) { m_endlessLimit = bytes; }
    // How long the TLS handshake waits after a connection is accepted, for
    // connections from now on; false where the TLS front did not agree.
    bool setHandshakeDelay(int msec);

    // Sends every response held back so far (HoldUntilReleased).
    void release();

    // Complete requests received, in all or for one path (as sent, with its
    // percent-escapes).
    int requestCount() const;
    int requestCount(const QString &path) const;
    // The request line and headers of the last complete request.
    QByteArray lastRequest() const { return m_lastRequest; }

    // Bytes handed to the sockets so far, over all connections: status lines,
    // headers and bodies. May be read from another thread, for a server moved
    // to a thread of its own.
    qint64 bytesSent() const { return m_bytesSent; }

    // For each connection that asked for path (as sent) and whose client hung
    // up before the server had ended its answer, the milliseconds from its
    // request to the hang-up, in order. A client may hang up long after its
    // request, so a test that looks for its own gives its request a path of
    // its own.
    QList<qint64> hangUps(const QString &path) const { return m_hangUps.value(path); }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    // What the server knows of one open connection.
    struct Connection
    {
        QByteArray request; // as read so far
        QString path; // once the request is complete
        QElapsedTimer sinceRequest; // started when the request is complete
        bool closing = false; // the server has ended its answer
        QByteArray filler; // repeated without end, e.g. EndlessBody
        qint64 fillerSent = 0;
        bool plain = false; // no TLS on this connection
    };

    bool openTlsFront(const QString &portFile, quint16 port);
    bool tellTlsFront(const QByteArray &line);
    void finish(QSslSocket *socket);
    void cut(QSslSocket *socket);
    void readRequest(QSslSocket *socket);
    void respond(QSslSocket *socket, const Response &response);
    void sendHead(QSslSocket *socket, const Response &response, Framing framing);
    void send(QSslSocket *socket, const QByteArray &data);
    void flood(QSslSocket *socket, const QByteArray &filler);
    void pumpFiller(QSslSocket *socket);
    void drip(QSslSocket *socket, const QByteArray &data, bool thenClose);

    QSslCertificate m_certificate;
    QSslKey m_key;
    quint16 m_port = 0;
    // Open for as long as the TLS front is to stay; none without a front.
    QTcpSocket *m_tlsFrontControl = nullptr;
    QHash<QString, Response> m_responses;
    QHash<QString, int> m_requestCounts;
    QByteArray m_lastRequest;
    QHash<QSslSocket *, Connection> m_connections;
    QList<QPair<QSslSocket *, Response>> m_held;
    int m_dripInterval = 10;
    qint64 m_endlessLimit = EndlessLimit;
    int m_handshakeDelay = 0;
    bool m_plain = false;
    QHash<QString, QList<qint64>> m_hangUps;
    std::atomic<qint64> m_bytesSent{0};
};
