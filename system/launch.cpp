#include "system/launch.h"

#include "system/files.h"
#include "system/spawn.h"
#include "system/wine.h"

#include <QFile>
#include <QObject>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace launch {

using files::bytesAt;
using files::hasType;
using files::onItsOwnLine;
using files::shown;
using spawn::Command;
using spawn::spawnDetached;
using spawn::Started;
using spawn::whenReported;
using wine::abilitiesOf;
using wine::whyWineCannotRun;
using wine::WindowsKind;
using wine::windowsKind;
using wine::WineAbilities;
using wine::wineFailure;
using wine::WineInstall;
using wine::wineInstallAt;
using wine::winePrefixOf;
using wine::WineStart;
using wine::wineStartFor;

namespace {

std::vector<std::string> pathDirectories()
{
    std::string path;
    if (const char *value = std::getenv("PATH")) {
        path = value;
    } else {
        path.resize(::confstr(_CS_PATH, nullptr, 0));
        ::confstr(_CS_PATH, path.data(), path.size());
        path.resize(std::strlen(path.c_str()));
    }
    std::vector<std::string> dirs;
    size_t start = 0;
    for (;;) {
        const size_t colon = path.find(':', start);
        const std::string dir = path.substr(start, colon - start);
        // An empty or relative entry would search the current directory.
        if (!dir.empty() && dir.front() == '/')
            dirs.push_back(dir);
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return dirs;
}

// This process's environment, with WINEPREFIX set to `prefix` if one is given.
std::vector<std::string> environmentWith(const std::string &prefix)
{
    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry) {
        if (prefix.empty() || std::strncmp(*entry, "WINEPREFIX=", 11) != 0)
            environment.emplace_back(*entry);
    }
    if (!prefix.empty())
        environment.push_back("WINEPREFIX=" + prefix);
    return environment;
}

// Why `program` could not be run, in words.
QString inWords(int error, const std::string &program)
{
    switch (error) {
    case ENOEXEC:
        return QStringLiteral("it is not a program this system can run");
    case EACCES:
    case EPERM:
        return QStringLiteral("the system does not allow it to run");
    case ETXTBSY:
        return QStringLiteral("another program is writing it");
    case ENOMEM:
    case EAGAIN:
        return QStringLiteral("the system has no memory or processes to spare");
    case ENOENT: {
        // The file exists, so what is missing is what must run it.
        const std::string start = bytesAt(program, 0, 256);
        if (start.compare(0, 2, "#!") == 0) {
            const size_t from = start.find_first_not_of(" \t", 2);
            const size_t to = start.find_first_of(" \t\r\n", from);
            return QStringLiteral("the program that runs it, %1, is missing")
                .arg(shown(start.substr(from, to == std::string::npos ? to : to - from)));
        }
        return QStringLiteral("a part of the system that it needs is missing");
    }
    default:
        return QStringLiteral("the system refused to run it (%1)").arg(QString::fromLocal8Bit(std::strerror(error)));
    }
}

// The command "wine" on PATH, or "" where there is none.
std::string wineOnPath()
{
    for (const std::string &dir : pathDirectories()) {
        if (hasType(dir + "/wine", S_IFREG) && ::access((dir + "/wine").c_str(), X_OK) == 0)
            return dir + "/wine";
    }
    return {};
}

QString startThroughWine(const std::string &program, QObject *context,
                         const std::function<void(const QString &)> &lateFailure)
{
    // Wine takes file names as UTF-8 text; another name would reach it as a
    // path that names nothing.
    const QByteArray bytes = QByteArray::fromStdString(program);
    if (QString::fromUtf8(bytes).toUtf8() != bytes)
        return QStringLiteral("%1lies in a folder whose name is not UTF-8 text, which Wine cannot take. Rename the "
                              "folder, then press Run again")
            .arg(onItsOwnLine(program));
    const WindowsKind kind = windowsKind(program);
    if (kind.format == WindowsKind::Damaged)
        return onItsOwnLine(program)
             + QStringLiteral("is damaged: it starts as a Windows program but is not a whole one");
    const std::string wine = wineOnPath();
    if (wine.empty())
        return onItsOwnLine(program)
             + QStringLiteral("is a Windows program, and Wine, which runs Windows programs here, "
                              "was not found on the search path (PATH). Install Wine (Debian's and "
                              "Ubuntu's package \"wine\") and press Run again");

    // Wine shows windows only on X; in a Wayland session, through XWayland.
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return onItsOwnLine(program)
             + QStringLiteral("is a Windows program, and Wine, which runs it, shows its windows only "
                              "on an X display, which this session does not offer (DISPLAY is not "
                              "set). In a Wayland session, turn on XWayland, or log in to an X11 "
                              "session, then press Run again");
    const std::string found = winePrefixOf(program.substr(0, program.rfind('/')));
    std::string prefix = found;
    if (prefix.empty()) {
        const char *named = std::getenv("WINEPREFIX");
        const char *home = std::getenv("HOME");
        prefix = named && *named ? named : home ? std::string(home) + "/.wine" : std::string();
    }
    // What this Wine can run was learned when the window opened; a check
    // that has not answered yet is not waited for, and Wine is left to say
    // what it finds.
    const WineInstall install = wineInstallAt(wine);
    const WineAbilities abilities = abilitiesOf(install);
    const QString cannot = whyWineCannotRun(program, kind, install, abilities, prefix);
    if (!cannot.isEmpty())
        return cannot;

    // Wine's start would otherwise change to the program's folder; "/d ."
    // keeps the working directory, which Wine sees as a Z: path.
    const WineStart start = wineStartFor(kind, install, abilities);
    const std::vector<std::string> args{start.program, "start", "/min", "/d", ".", "/unix", program};
    std::vector<std::string> environment = environmentWith(found);
    environment.insert(environment.end(), start.environment.begin(), start.environment.end());
    const Started started = spawnDetached(Command(args, environment), true);
    if (started.error)
        return QStringLiteral("Wine (%1) could not be started: %2")
            .arg(shown(start.program), inWords(started.error, start.program));
    whenReported(started.report, context, [=](int status, const QByteArray &output) {
        const QString said = wineFailure(status, output);
        if (!said.isEmpty())
            lateFailure(QStringLiteral("Wine could not start") + onItsOwnLine(program) + said);
    });
    return {};
}

} // namespace

void prepareToStart(const QString &name, const QByteArray &ownDirectory)
{
    const std::string own = ownDirectory.toStdString() + "/" + QFile::encodeName(name).toStdString();
    if (ownDirectory.isEmpty() || bytesAt(own, 0, 2) != "MZ")
        return;
    const std::string wine = wineOnPath();
    if (!wine.empty())
        abilitiesOf(wineInstallAt(wine));
}

QString startProgram(const QString &name, const QByteArray &ownDirectory, QObject *context,
                     const std::function<void(const QString &)> &lateFailure)
{
    if (ownDirectory.isEmpty())
        return QStringLiteral("the configurator cannot tell which folder it is in, so not which %1 to start").arg(name);
    const std::string program = QFile::encodeName(name).toStdString();
    const std::string own = ownDirectory.toStdString() + "/" + program;
    struct stat st {};
    const bool beside = ::lstat(own.c_str(), &st) == 0;
    std::vector<std::string> candidates;
    if (beside) {
        candidates.push_back(own);
    } else {
        for (const std::string &dir : pathDirectories())
            candidates.push_back(dir + "/" + program);
    }
    QString refused;
    for (const std::string &candidate : candidates) {
        if (!hasType(candidate, S_IFREG)) {
            if (beside)
                return onItsOwnLine(candidate) + QStringLiteral("is not a program file");
            continue;
        }
        if (bytesAt(candidate, 0, 2) == "MZ")
            return startThroughWine(candidate, context, lateFailure);
        if (::access(candidate.c_str(), X_OK) != 0) {
            // On PATH, keep looking, as a shell would, but remember why this
            // one could not run in case no other is found.
            const QString why
                = onItsOwnLine(candidate) + QStringLiteral("may not be run: it is not marked as executable");
            if (beside)
                return why;
            if (refused.isEmpty())
                refused = why;
            continue;
        }
        const std::vector<std::string> args{candidate}, environment = environmentWith({});
        if (const int error = spawnDetached(Command(args, environment), false).error)
            return onItsOwnLine(candidate) + QStringLiteral("could not be started: ") + inWords(error, candidate);
        return QString();
    }
    if (!refused.isEmpty())
        return refused;
    return name + QStringLiteral(" was found neither in") + onItsOwnLine(ownDirectory.toStdString())
         + QStringLiteral(" nor on the search path (PATH)");
}

} // namespace launch
