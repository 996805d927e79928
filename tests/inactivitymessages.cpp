#include "inactivitymessages.h"

QStringList inactivityMessages(int msec, DownloadStage stage, bool https)
{
    const auto message = [msec](const QString &what) {
        return QStringLiteral("Download failed: %1 %2 ms (inactivity time-out)\n")
                .arg(what)
                .arg(msec);
    };
    QStringList messages;
    if (https)
        messages << message(QStringLiteral("the connection was not established within"));
    if (stage != DownloadStage::Connecting || !https)
        messages << message(QStringLiteral("the response headers were not complete within"));
    if (stage == DownloadStage::ReceivingBody)
        messages << message(QStringLiteral("nothing received for"));
    return messages;
}
