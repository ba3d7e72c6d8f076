// Test support: a file's bytes, read and written whole, and a path as the
// system takes it.
#pragma once

#include <QFile>
#include <QtTest>

#include <string>

// A path as bytes, as the system calls take it.
inline std::string sp(const QString &path) { return QFile::encodeName(path).toStdString(); }

// The file's bytes, or "<missing>" when it cannot be read.
inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

inline void setFileBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

// The same, as std::string, for the tests of the profile layer.
inline std::string fileText(const QString &path) { return fileBytes(path).toStdString(); }

inline void setFileBytes(const QString &path, const std::string &bytes)
{
    setFileBytes(path, QByteArray::fromStdString(bytes));
}

inline void setFileBytes(const QString &path, const char *bytes) { setFileBytes(path, QByteArray(bytes)); }
