#pragma once

#include <QString>
#include <QTemporaryDir>

// A throwaway installation laid out as the updater expects it: an application
// folder holding the installed telvora-version.xml, and below it the updater's
// working folder, made the current directory for as long as this lives. The
// previous current directory comes back on destruction, so installations must
// not overlap: destroy one before making the next.
class TestInstallation
{
public:
    // Tests that check how paths are shown pass markupFolderName().
    explicit TestInstallation(const QString &appFolderName = QStringLiteral("app"));
    ~TestInstallation();
    TestInstallation(const TestInstallation &) = delete;
    TestInstallation &operator=(const TestInstallation &) = delete;

    // A folder name that reads differently as HTML than as text, made only of
    // characters that every system allows in a name (Windows forbids < and >).
    static QString markupFolderName() { return QStringLiteral("Telvora &lt;b&gt; &amp; co"); }

    // False when the folders could not be made or the updater folder made current.
    bool isValid() const { return m_valid; }

    // A file in the application folder.
    QString appFile(const QString &name) const;
    // Where the installed manifest belongs; not written here.
    QString installedManifest() const;
    // The updater folder's temp, where downloads are saved; not made here, as
    // the program makes it, or a test puts something else in its place.
    QString tempDir() const;
    // Where the downloaded manifest lands in tempDir().
    QString publishedManifest() const;

private:
    QString m_previousDir;
    QTemporaryDir m_root;
    QString m_appDir;
    bool m_valid = false;
};
