#include "testcertificates.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>

TestCertificates::TestCertificates()
{
    m_folderPath = qEnvironmentVariable("TELVORA_TEST_CERTIFICATES");
    if (m_folderPath.isEmpty() && !make())
        return;

    m_authority = loadCertificate("authority");
    m_serverCertificate = loadCertificate("server");
    m_serverKey = loadKey("server");
    m_untrustedAuthority = loadCertificate("untrusted-authority");
    m_untrustedCertificate = loadCertificate("untrusted");
    m_untrustedKey = loadKey("untrusted");
}

void TestCertificates::trustAuthority() const
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificate(m_authority);
    QSslConfiguration::setDefaultConfiguration(config);
}

bool TestCertificates::make()
{
    if (!m_madeHere.isValid()) {
        m_errorString = QStringLiteral("no temporary folder: ") + m_madeHere.errorString();
        return false;
    }
    m_folderPath = m_madeHere.path();
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("sh"),
                  {QStringLiteral(TELVORA_TEST_CERTIFICATE_SCRIPT), m_folderPath});
    if (!process.waitForFinished(60000)) {
        m_errorString =
                QStringLiteral("make-test-certificates did not run: ") + process.errorString();
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_errorString = QStringLiteral("make-test-certificates failed: ")
                + QString::fromLocal8Bit(process.readAll());
        return false;
    }
    return true;
}

QSslCertificate TestCertificates::loadCertificate(const QString &name)
{
    QFile file(m_folderPath + QLatin1Char('/') + name + ".pem");
    QSslCertificate certificate;
    if (file.open(QIODevice::ReadOnly))
        certificate = QSslCertificate(&file, QSsl::Pem);
    if (certificate.isNull() && m_errorString.isEmpty())
        m_errorString = QStringLiteral("cannot load the certificate ") + file.fileName();
    return certificate;
}

QSslKey TestCertificates::loadKey(const QString &name)
{
    QFile file(m_folderPath + QLatin1Char('/') + name + ".key");
    QSslKey key;
    if (file.open(QIODevice::ReadOnly))
        key = QSslKey(&file, QSsl::Ec, QSsl::Pem);
    if (key.isNull() && m_errorString.isEmpty())
        m_errorString = QStringLiteral("cannot load the key ") + file.fileName();
    return key;
}
