#pragma once

#include <QByteArray>
#include <QString>

// Writes contents to path, replacing what stood there; true when every byte
// was written.
bool writeFile(const QString &path, const QByteArray &contents);

// What path holds, or "(unreadable)", which no test expects as a file's
// contents, so that a missing file fails a comparison with a clear message.
QByteArray contentsOf(const QString &path);
