#include "testcertificates.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslConfiguration>

// The extensions that a verifying client looks at; the subject names come
// from the command line.
static const char OpenSslConfig[] = R"([req]
distinguished_name = subject
prompt = no
[subject]
[authority]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
)";

TestCertificates::TestCertificates()
{
    if (!m_folder.isValid()) {
        m_errorString = QStringLiteral("no temporary folder: ") + m_folder.errorString();
        return;
    }
    QFile config(m_folder.filePath("openssl.cnf"));
    if (!config.open(QIODevice::WriteOnly) || config.write(OpenSslConfig) < 0) {
        m_errorString = config.errorString();
        return;
    }
    config.close();

    if (!makeAuthority("authority", "/CN=Telvora test authority")
        || !makeServerCertificate("server", "authority")
        || !makeAuthority("untrusted-authority", "/CN=Unrelated test authority")
        || !makeServerCertificate("untrusted", "untrusted-authority"))
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

bool TestCertificates::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(m_folder.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("openssl", arguments);
    if (!process.waitForFinished(60000)) {
        m_errorString = QStringLiteral("openssl did not run: ") + process.errorString();
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_errorString = QStringLiteral("openssl %1 failed: %2")
                                .arg(arguments.join(QLatin1Char(' ')),
                                     QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    return true;
}

// A self-signed authority: <name>.pem and <name>.key.
bool TestCertificates::makeAuthority(const QString &name, const QString &subject)
{
    return openssl({"req", "-config", "openssl.cnf", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", name + ".key", "-out",
                    name + ".pem", "-days", "2", "-subj", subject, "-extensions", "authority"});
}

// A certificate for the loopback server, signed by the authority named:
// <name>.pem and <name>.key.
bool TestCertificates::makeServerCertificate(const QString &name, const QString &authority)
{
    const QString serial =
            QStringLiteral("0x%1").arg(QRandomGenerator::global()->generate64() >> 1, 0, 16);
    return openssl({"req", "-config", "openssl.cnf", "-new", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", name + ".key", "-out",
                    name + ".csr", "-subj", "/CN=127.0.0.1"})
            && openssl({"x509", "-req", "-in", name + ".csr", "-CA", authority + ".pem", "-CAkey",
                        authority + ".key", "-set_serial", serial, "-days", "2", "-extfile",
                        "openssl.cnf", "-extensions", "server", "-out", name + ".pem"});
}

QSslCertificate TestCertificates::loadCertificate(const QString &name)
{
    QFile file(m_folder.filePath(name + ".pem"));
    QSslCertificate certificate;
    if (file.open(QIODevice::ReadOnly))
        certificate = QSslCertificate(&file, QSsl::Pem);
    if (certificate.isNull() && m_errorString.isEmpty())
        m_errorString = QStringLiteral("cannot load the certificate ") + file.fileName();
    return certificate;
}

QSslKey TestCertificates::loadKey(const QString &name)
{
    QFile file(m_folder.filePath(name + ".key"));
    QSslKey key;
    if (file.open(QIODevice::ReadOnly))
        key = QSslKey(&file, QSsl::Ec, QSsl::Pem);
    if (key.isNull() && m_errorString.isEmpty())
        m_errorString = QStringLiteral("cannot load the key ") + file.fileName();
    return key;
}
