#pragma once

#include <QStringList>

// How far a download had got when its inactivity limit ended it, as the
// limit's message tells.
enum class DownloadStage {
    Connecting, // the connection, over TLS its handshake, not yet made
    AwaitingHeaders, // connected, the response headers not yet complete
    ReceivingBody, // the headers complete
};

// The messages, as DownloadManager::downFinished gives them, with which an
// inactivity limit of msec ends a download that has got as far as stage, or
// less far. A test's short limit may run out before the connection, the TLS
// handshake or the headers are through on a loaded machine or under Wine,
// and so end the download at an earlier stage than the one the test is
// about: each of these messages is then the true one, and names the same
// limit. Over plain HTTP nothing tells a connection not yet made from headers
// not yet complete.
QStringList inactivityMessages(int msec, DownloadStage stage, bool https);
