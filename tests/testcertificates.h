#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTemporaryDir>

// Throwaway certificates for HTTPS tests on the loopback address:
// - a certificate authority, and a server certificate for 127.0.0.1 and
//   localhost that it signed;
// - a second, unrelated authority with a server certificate of its own, for a
//   server that the client must not trust.
// They are made by tests/make-test-certificates (the openssl command-line tool)
// in a temporary folder that goes away with the object, unless the variable
// TELVORA_TEST_CERTIFICATES names a folder where that script already made them:
// the Windows tests, run under Wine, take them from there, since the test
// environment has put that authority in the Wine prefix's trusted root store.
// Nothing is trusted otherwise until trustAuthority() adds the first authority
// to the process's default SSL configuration.
class TestCertificates
{
public:
    TestCertificates();

    // False when openssl could not make or the toolkit could not load them;
    // errorString() then says why.
    bool isValid() const { return m_errorString.isEmpty(); }
    QString errorString() const { return m_errorString; }

    QSslCertificate authority() const { return m_authority; }
    QSslCertificate serverCertificate() const { return m_serverCertificate; }
    QSslKey serverKey() const { return m_serverKey; }

    QSslCertificate untrustedAuthority() const { return m_untrustedAuthority; }
    QSslCertificate untrustedCertificate() const { return m_untrustedCertificate; }
    QSslKey untrustedKey() const { return m_untrustedKey; }

    // The folder holding the PEM files: authority.pem, server.pem,
    // server.key, untrusted-authority.pem, untrusted.pem, untrusted.key.
    QString folder() const { return m_folderPath; }

    // Adds authority() to QSslConfiguration::defaultConfiguration(), so that
    // every connection made afterwards in this process trusts the server
    // certificate.
    void trustAuthority() const;

private:
    bool make();
    QSslCertificate loadCertificate(const QString &name);
    QSslKey loadKey(const QString &name);

    QTemporaryDir m_madeHere;
    QString m_folderPath;
    QString m_errorString;
    QSslCertificate m_authority;
    QSslCertificate m_serverCertificate;
    QSslKey m_serverKey;
    QSslCertificate m_untrustedAuthority;
    QSslCertificate m_untrustedCertificate;
    QSslKey m_untrustedKey;
};
