#include "settings/Module1.h"

#include "settings/durablefile.h"
#include "settings/profilefile.h"

#include <QFile>

#include <climits>

#include <unistd.h>

namespace Module1 {

namespace {

QString unknownFolder()
{
    return QStringLiteral("the configurator cannot tell which folder it is in (the system does not say where "
                          "its program file is)");
}

} // namespace

QByteArray applicationDirectory()
{
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || size_t(n) >= sizeof buffer || buffer[0] != '/')
        return {};
    // A program file deleted since it started is named "<path> (deleted)":
    // only its own name changes, not its folder's.
    QByteArray folder(buffer, qsizetype(n));
    folder.truncate(folder.lastIndexOf('/'));
    return folder.isEmpty() ? QByteArray("/") : folder;
}

QByteArray settingsPath()
{
    const QByteArray folder = applicationDirectory();
    if (folder.isEmpty())
        return {};
    return folder == "/" ? QByteArray("/Setup.ini") : folder + "/Setup.ini";
}

QString shown(const QByteArray &path) { return QFile::decodeName(path); }

QString settingsProblem(const QByteArray &path)
{
    if (path.isEmpty())
        return unknownFolder();
    const auto problem = profilefile::unreadable(path.toStdString());
    return problem ? QFile::decodeName(QByteArray::fromStdString(*problem)) : QString();
}

void finishSave(const QByteArray &path)
{
    if (!path.isEmpty())
        (void)durablefile::finishSave(path.toStdString());
}

int readProfileInt(const QString &section, const QString &key, int defaultValue, const QByteArray &path)
{
    if (path.isEmpty())
        return defaultValue;
    return profilefile::readInt(path.toStdString(), section.toStdString(), key.toStdString(), defaultValue);
}

QString writeProfileString(const QString &section, const QString &key, const QString &value, const QByteArray &path)
{
    if (path.isEmpty())
        return QStringLiteral("Cannot save Setup.ini: ") + unknownFolder();
    const auto error
        = profilefile::writeString(path.toStdString(), section.toStdString(), key.toStdString(), value.toStdString());
    return error ? QFile::decodeName(QByteArray::fromStdString(*error)) : QString();
}

SavingTogether::SavingTogether()
    : m_began(durablefile::beginSharedWait())
{
}

SavingTogether::~SavingTogether()
{
    if (m_began)
        durablefile::endSharedWait();
}

} // namespace Module1
