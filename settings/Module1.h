#pragma once

// The settings file Setup.ini and the two operations through which the
// window reads and writes it. Each call names the section, the key and the
// path, and converts its texts to the file's narrow encoding (UTF-8) itself.
// Paths are bytes, as the system names files; they are decoded only to be
// shown.

#include <QByteArray>
#include <QString>

namespace Module1 {

// The one section that holds Tavorin's settings.
inline const QString Section = QStringLiteral("Tavorin");

// A setting of Tavorin's: its key, and the number it reads as when absent.
struct Setting {
    QString key;
    int defaultValue;
};

// The five settings, in the order in which loading and Apply handle them.
inline const Setting UseCard{QStringLiteral("UseCard"), 1};
inline const Setting UseDepth{QStringLiteral("UseDepth"), 16};
inline const Setting SyncRate{QStringLiteral("SyncRate"), 0};
inline const Setting ShowHelp{QStringLiteral("ShowHelp"), 1};
inline const Setting ShowMode{QStringLiteral("ShowMode"), 1};
inline const Setting Settings[] = {UseCard, UseDepth, SyncRate, ShowHelp, ShowMode};

// The folder of the running executable, as the kernel names it, looked up
// afresh on every call (so that it follows a folder renamed meanwhile);
// empty when it cannot be known.
QByteArray applicationDirectory();

// The settings file: Setup.ini in applicationDirectory(); empty when that
// cannot be known.
QByteArray settingsPath();

// A path as the user reads it.
QString shown(const QByteArray &path);

// Why the settings file at path cannot be used: its folder is unknown (an
// empty path), or the file is refused (too large); empty when it can.
QString settingsProblem(const QByteArray &path);

// Completes, or removes, what a save that was cut short left in the file
// at path, where this user may write it, so that the file is whole before
// the window reads it or Tavorin starts. Says nothing where it cannot:
// what reads the file then reads it as such a save leaves it.
void finishSave(const QByteArray &path);

// The value of key in section of the file at path as an integer, or
// defaultValue when the file, section or key is absent, the value empty, or
// the file cannot be used. Never creates or changes the file.
int readProfileInt(const QString &section, const QString &key, int defaultValue, const QByteArray &path);

// Stores value under key in section of the file at path, creating the file
// and the section when they are absent. Returns an empty string on success,
// otherwise why it failed, naming the path; the file is then unchanged.
QString writeProfileString(const QString &section, const QString &key, const QString &value, const QByteArray &path);

// While one exists, the writes on this thread share one wait for other
// programs that hold a lock on the file: Apply's five writes wait at most
// about two seconds together, not each, so the window never freezes longer.
class SavingTogether {
public:
    SavingTogether();
    ~SavingTogether();
    SavingTogether(const SavingTogether &) = delete;
    SavingTogether &operator=(const SavingTogether &) = delete;

private:
    bool m_began;
};

} // namespace Module1
