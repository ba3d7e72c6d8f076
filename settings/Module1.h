#pragma once

// The settings file Setup.ini and the two operations through which the
// window reads and writes it. Each call names the section, the key and the
// path, and converts its texts to the file's narrow encoding (UTF-8) itself.

#include <QString>

namespace Module1 {

// The one section that holds Tavorin's settings.
inline const QString Section = QStringLiteral("Tavorin");

// The settings file: Setup.ini in the directory of the running executable,
// as the system reports the executable's own path. Computed afresh on every
// call, so that each read and write finds the file where it is now.
QString settingsPath();

// The value of key in section of the file at path as an integer, or
// defaultValue when the file, section or key is absent or the value empty.
// Never creates or changes the file.
int readProfileInt(const QString &section, const QString &key, int defaultValue,
                   const QString &path);

// Stores value under key in section of the file at path, creating the file
// and the section when they are absent. Returns an empty string on success,
// otherwise why it failed, naming the path; the file is then unchanged.
QString writeProfileString(const QString &section, const QString &key,
                           const QString &value, const QString &path);

} // namespace Module1
