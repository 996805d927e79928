#include "testinstallation.h"

#include <QDir>

TestInstallation::TestInstallation(const QString &appFolderName)
    : m_previousDir(QDir::currentPath())
{
    if (!m_root.isValid())
        return;
    // Canonical, as the program sees its current directory, so that paths the
    // tests build compare equal to the ones it prints.
    m_appDir = QDir(m_root.path()).canonicalPath() + QLatin1Char('/') + appFolderName;
    const QString updaterDir = m_appDir + QStringLiteral("/updater");
    m_valid = QDir().mkpath(updaterDir) && QDir::setCurrent(updaterDir);
}

TestInstallation::~TestInstallation()
{
    QDir::setCurrent(m_previousDir);
}

QString TestInstallation::appFile(const QString &name) const
{
    return m_appDir + QLatin1Char('/') + name;
}

QString TestInstallation::installedManifest() const
{
    return appFile(QStringLiteral("telvora-version.xml"));
}

QString TestInstallation::tempDir() const
{
    return m_appDir + QStringLiteral("/updater/temp");
}

QString TestInstallation::publishedManifest() const
{
    return tempDir() + QStringLiteral("/telvora-version.xml");
}
