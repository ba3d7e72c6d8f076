#include "programstart.h"

#include <QFile>
#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

QString shown(const std::string &path) { return QFile::decodeName(path.c_str()); }

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

bool hasType(const std::string &path, mode_t type)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

// Up to `count` bytes of the file at `offset`; fewer where it ends.
std::string bytesAt(const std::string &path, off_t offset, size_t count)
{
    std::string bytes(count, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const ssize_t n = fd < 0 ? -1 : ::pread(fd, bytes.data(), count, offset);
    if (fd >= 0)
        ::close(fd);
    bytes.resize(n > 0 ? size_t(n) : 0);
    return bytes;
}

// Whether a Windows program has whole headers: the DOS header names where
// the PE header stands, and that begins with its signature.
bool hasWindowsHeaders(const std::string &program)
{
    const std::string dos = bytesAt(program, 0, 64);
    if (dos.size() < 64)
        return false;
    const auto byte = [&dos](size_t i) { return uint32_t(uint8_t(dos[i])); };
    const uint32_t offset = byte(60) | byte(61) << 8 | byte(62) << 16 | byte(63) << 24;
    const std::string pe = bytesAt(program, off_t(offset), 24); // the signature and the file header
    return pe.size() == 24 && pe.compare(0, 4, std::string("PE\0\0", 4)) == 0;
}

// The Wine prefix that `folder` lies inside: the nearest folder, itself or
// above it, that holds drive_c and system.reg; empty when there is none.
std::string winePrefixOf(std::string folder)
{
    for (;;) {
        if (hasType(folder + "/drive_c", S_IFDIR) && hasType(folder + "/system.reg", S_IFREG))
            return folder.empty() ? "/" : folder;
        const size_t slash = folder.rfind('/');
        if (folder.empty() || slash == std::string::npos)
            return {};
        folder.resize(slash);
    }
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

struct Started {
    int error = 0;  // why exec failed, or 0
    pid_t pid = -1; // the started process, when it is this process's child
};

// Runs args[0] in a session of its own. With `child`, the program is this
// process's child, which the caller must reap; otherwise a grandchild, so
// that nothing waits for it and no zombie is left when it ends.
Started spawn(const std::vector<std::string> &args, const std::vector<std::string> &environment, bool child)
{
    std::vector<char *> argv, envp;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    for (const std::string &entry : environment)
        envp.push_back(const_cast<char *>(entry.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return {errno};
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return {error};
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on: the parent has threads.
        ::setsid();
        const pid_t runner = child ? 0 : ::fork();
        if (runner == 0) {
            struct sigaction standard {};
            standard.sa_handler = SIG_DFL;
            ::sigaction(SIGXFSZ, &standard, nullptr);
            ::sigaction(SIGPIPE, &standard, nullptr);
            sigset_t none;
            ::sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execve(argv[0], argv.data(), envp.data());
        }
        // Reached when exec or the second fork failed: the pipe, closed on a
        // successful exec, carries the reason instead.
        const int error = errno;
        if (runner <= 0)
            (void)!::write(report[1], &error, sizeof error);
        ::_exit(runner < 0 || child ? 127 : 0);
    }
    ::close(report[1]);
    int error = 0;
    ssize_t n;
    while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n != ssize_t(sizeof error))
        error = 0;
    if (!child || error) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    return {error, child && !error ? pid : -1};
}

// A descriptor that becomes readable when the process ends, or -1 where
// the system has none.
int processDescriptor(pid_t pid)
{
#ifdef SYS_pidfd_open
    return int(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Calls `ended` with the wait status of the child `pid`, watched through
// `descriptor`, once it ends, and reaps it.
void whenEnded(pid_t pid, int descriptor, QObject *context, const std::function<void(int)> &ended)
{
    auto *notifier = new QSocketNotifier(qintptr(descriptor), QSocketNotifier::Read, context);
    QObject::connect(notifier, &QObject::destroyed, [descriptor] { ::close(descriptor); });
    QObject::connect(notifier, &QSocketNotifier::activated, context, [=] {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) != pid)
            return;
        notifier->deleteLater();
        ended(status);
    });
}

QString startThroughWine(const std::string &program, QObject *context,
                         const std::function<void(const QString &)> &lateFailure)
{
    if (!hasWindowsHeaders(program))
        return shown(program) + QStringLiteral(" is damaged: it starts as a Windows program but is not a whole one");
    std::string wine;
    for (const std::string &dir : pathDirectories()) {
        if (hasType(dir + "/wine", S_IFREG) && ::access((dir + "/wine").c_str(), X_OK) == 0) {
            wine = dir + "/wine";
            break;
        }
    }
    if (wine.empty())
        return shown(program) + QStringLiteral(" is a Windows program, and Wine, which runs Windows programs here, "
                                               "was not found on the search path (PATH). Install Wine (Debian's and "
                                               "Ubuntu's package \"wine\") and press Run again");

    // Wine's start would otherwise change to the program's folder; "/d ."
    // keeps the working directory, which Wine sees as a Z: path.
    const std::string prefix = winePrefixOf(program.substr(0, program.rfind('/')));
    const int probe = processDescriptor(::getpid());
    if (probe >= 0)
        ::close(probe);
    const Started started = spawn({wine, "start", "/min", "/d", ".", "/unix", program}, environmentWith(prefix), probe >= 0);
    if (started.error)
        return QStringLiteral("Wine (%1) could not be started: %2").arg(shown(wine), inWords(started.error, wine));
    const int descriptor = started.pid > 0 ? processDescriptor(started.pid) : -1;
    if (descriptor < 0)
        return {};
    whenEnded(started.pid, descriptor, context, [=](int status) {
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return;
        const QString how = WIFEXITED(status) ? QStringLiteral("it ended with status %1").arg(WEXITSTATUS(status))
                                              : QStringLiteral("it was stopped by signal %1").arg(WTERMSIG(status));
        lateFailure(QStringLiteral("Wine could not start %1 (%2). The program may be damaged, or the Wine prefix %3 "
                                   "unusable; in a terminal, wine start /unix \"%1\" shows Wine's own reason")
                        .arg(shown(program), how, prefix.empty() ? QStringLiteral("it runs in") : shown(prefix)));
    });
    return {};
}

} // namespace

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
                return shown(candidate) + QStringLiteral(" is not a program file");
            continue;
        }
        if (bytesAt(candidate, 0, 2) == "MZ")
            return startThroughWine(candidate, context, lateFailure);
        if (::access(candidate.c_str(), X_OK) != 0) {
            // On PATH, keep looking, as a shell would, but remember why this
            // one could not run in case no other is found.
            const QString why = shown(candidate) + QStringLiteral(" may not be run: it is not marked as executable");
            if (beside)
                return why;
            if (refused.isEmpty())
                refused = why;
            continue;
        }
        if (const int error = spawn({candidate}, environmentWith({}), false).error)
            return shown(candidate) + QStringLiteral(" could not be started: ") + inWords(error, candidate);
        return QString();
    }
    if (!refused.isEmpty())
        return refused;
    return name + QStringLiteral(" was found neither in ") + shown(ownDirectory.toStdString())
         + QStringLiteral(" nor on the search path (PATH)");
}
