#include "system/processsetup.h"

#include "base/descriptor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QStringList>

#include <cerrno>

#include <fcntl.h>

namespace processsetup {

void openStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            (void)::open("/dev/null", O_RDWR); // takes the lowest free number: this one
    }
}

void keepPluginsOutOf(const QByteArray &programFolder)
{
    // Qt adds a folder to its plugin paths when the application object is
    // made: the program's own, or, when it cannot name the program file (a
    // folder name not in the locale's encoding, say), the current
    // directory. It then replays on top of them what was changed before. So
    // both are named among the paths first, through QT_PLUGIN_PATH, and then
    // removed: the removal is replayed, and no plugin is looked for there,
    // not even the display's. The own folder is named by its link in /proc,
    // which Qt resolves, because its name may hold the list's separator ':'.
    // A folder that is Qt's own plugin folder, or that the user named in
    // QT_PLUGIN_PATH, stays. The program carries its own qt.conf, so that
    // one in its folder cannot send Qt elsewhere either.
    const bool set = qEnvironmentVariableIsSet("QT_PLUGIN_PATH");
    const QByteArray saved = qgetenv("QT_PLUGIN_PATH");
    const auto canonical = [](const QByteArray &path) { return QDir(QFile::decodeName(path)).canonicalPath(); };
    QStringList chosen{QDir(QLibraryInfo::path(QLibraryInfo::PluginsPath)).canonicalPath()};
    for (const QByteArray &entry : saved.split(':')) {
        if (!entry.isEmpty()) // as Qt skips it; canonically it would be the current directory
            chosen << canonical(entry);
    }
    QByteArray named = ".";
    const FileDescriptor own(
        programFolder.isEmpty() ? -1 : ::open(programFolder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (own.get() >= 0)
        named += ":/proc/self/fd/" + QByteArray::number(own.get());
    qputenv("QT_PLUGIN_PATH", named + (set ? ":" + saved : QByteArray()));
    QStringList paths = QCoreApplication::libraryPaths();
    for (const QByteArray &entry : named.split(':')) {
        const QString path = canonical(entry);
        if (!chosen.contains(path))
            paths.removeAll(path);
    }
    QCoreApplication::setLibraryPaths(paths);
    if (set)
        qputenv("QT_PLUGIN_PATH", saved);
    else
        qunsetenv("QT_PLUGIN_PATH");
}

} // namespace processsetup
