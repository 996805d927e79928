#pragma once

#include <QList>
#include <QSet>
#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QUrl;
QT_END_NAMESPACE

// A download's own connection, found from outside Qt, for what Qt offers no
// way to do to it: the connection lives in Qt's HTTP thread, out of the
// program's sight. On Linux only; elsewhere this does nothing.
//
// Sending without delay. Over TLS 1.3 the client's last handshake message
// (Finished) and the request are two small writes. With Nagle's algorithm on,
// the system holds the request back until the server has acknowledged
// Finished: a round trip, and where the server sends nothing after Finished
// (Go's TLS, as in Caddy) its delayed acknowledgement on top, about 40 ms on
// Linux and up to 200 ms on Windows. Qt leaves the algorithm on for its HTTP
// connections, and Debian's Qt (5.15 and 6.4) offers no way to change that;
// the Windows build's Qt turns it off itself. sendWithoutDelay() belongs
// where Qt reports the TLS handshake done: Qt's HTTP thread waits for that
// report to be handled before it writes the request, so the request goes
// out at once.
//
// Shutting down. Over plain HTTP, Debian's Qt reads its socket for as long as
// bytes keep coming before its thread turns to anything else, an abort
// among them: a download abandoned in a flood was read on, and its bytes
// kept, for as long as the server kept sending. shutDown() ends the
// connection under Qt, which then sees it closed.
//
// The connection is found among the process's file descriptors: a TCP
// socket that was not there when this object was made, connected to the
// URL's port (or to its proxy's, when there is no such socket). Made before
// the request is, it leaves every older socket alone, and the tests'
// in-process servers' ends as well (their peers are the clients' ports). Two
// downloads to the same port at once may each take both connections for
// theirs, each made after the other began: both are downloads' own, and both
// want the option; shut down, both end (so only a plain connection, which
// needs it, is). A socket that cannot take the option, or one gone
// meanwhile, is left as it is, and the download goes on as it would have.
class OwnConnection
{
public:
    // Notes the sockets that the process has now.
    OwnConnection();

    // Turns Nagle's algorithm off on the connections made since to url's
    // port, or else to the proxy's that Qt uses for url.
    void sendWithoutDelay(const QUrl &url);
    // Shuts those connections down, both ways.
    void shutDown(const QUrl &url);

private:
    // Duplicates of the descriptors of those connections, for the caller to
    // close.
    QList<int> duplicates(const QUrl &url) const;

    QSet<quint64> m_before; // the inode numbers of the sockets there were
};
