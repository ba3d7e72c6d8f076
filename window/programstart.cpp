#include "programstart.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<std::string> searchDirectories(const std::string &ownDirectory)
{
    std::vector<std::string> dirs{ownDirectory};
    std::string path;
    if (const char *value = std::getenv("PATH")) {
        path = value;
    } else {
        path.resize(::confstr(_CS_PATH, nullptr, 0));
        ::confstr(_CS_PATH, path.data(), path.size());
        path.resize(std::strlen(path.c_str()));
    }
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

// Runs `file` in a grandchild process, so that it is never this process's
// child: nothing waits for it and no zombie is left when it ends. Returns 0
// when exec succeeded, otherwise the error that stopped it.
int spawnDetached(const std::string &file)
{
    char *const argv[] = {const_cast<char *>(file.c_str()), nullptr};
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return errno;
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return error;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on: the parent has threads.
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            struct sigaction standard {};
            standard.sa_handler = SIG_DFL;
            ::sigaction(SIGXFSZ, &standard, nullptr);
            ::sigaction(SIGPIPE, &standard, nullptr);
            sigset_t none;
            ::sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execv(file.c_str(), argv);
        }
        // Reached when exec or the second fork failed: the pipe, closed on a
        // successful exec, carries the reason instead.
        const int error = errno;
        if (grandchild <= 0)
            (void)!::write(report[1], &error, sizeof error);
        ::_exit(grandchild < 0 ? 127 : 0);
    }
    ::close(report[1]);
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    return n == ssize_t(sizeof error) ? error : 0;
}

} // namespace

QString startProgram(const QString &name, const QString &ownDirectory)
{
    const std::string program = QFile::encodeName(name).toStdString();
    QString refused;
    for (const std::string &dir : searchDirectories(QFile::encodeName(ownDirectory).toStdString())) {
        const std::string candidate = dir + "/" + program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (::access(candidate.c_str(), X_OK) != 0) {
            // Keep looking, as a shell would, but remember why this one
            // could not run in case no other is found.
            if (refused.isEmpty())
                refused = QFile::decodeName(candidate.c_str()) + QStringLiteral(" is not executable (")
                        + QString::fromLocal8Bit(std::strerror(errno)) + QStringLiteral(")");
            continue;
        }
        if (const int error = spawnDetached(candidate))
            return QFile::decodeName(candidate.c_str()) + QStringLiteral(": ")
                 + QString::fromLocal8Bit(std::strerror(error));
        return QString();
    }
    if (!refused.isEmpty())
        return refused;
    return name + QStringLiteral(" was found neither in ") + ownDirectory
         + QStringLiteral(" nor on the search path (PATH)");
}
