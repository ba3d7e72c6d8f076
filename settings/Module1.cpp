#include "Module1.h"

#include "profile.h"

#include <QCoreApplication>
#include <QFile>

namespace Module1 {

QString settingsPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/Setup.ini");
}

int readProfileInt(const QString &section, const QString &key, int defaultValue,
                   const QString &path)
{
    return profile::readInt(QFile::encodeName(path).toStdString(), section.toStdString(), key.toStdString(),
                            defaultValue);
}

QString writeProfileString(const QString &section, const QString &key,
                           const QString &value, const QString &path)
{
    const auto error = profile::writeString(QFile::encodeName(path).toStdString(), section.toStdString(),
                                            key.toStdString(), value.toStdString());
    return error ? QString::fromStdString(*error) : QString();
}

} // namespace Module1
