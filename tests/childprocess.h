// Test support: running profile operations in a child process, with the
// rights of an unprivileged user or under limits of their own.
#pragma once

#include <QFile>
#include <QTemporaryDir>

#include <functional>
#include <optional>
#include <string>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

// Runs `write` in a child process and returns the error it reported, or ""
// on success. With asNobody, the child has the rights of the unprivileged
// user "nobody" (or of this user when it is not root, since permission
// bits then apply anyway).
inline std::string writeInChild(const std::function<std::optional<std::string>()> &write, bool asNobody = true)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return "<pipe failed>";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (asNobody && ::geteuid() == 0
            && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(2);
        const auto error = write();
        const std::string message = error ? *error : std::string();
        (void)!::write(pipeFds[1], message.data(), message.size());
        ::_exit(error ? 1 : 0);
    }
    ::close(pipeFds[1]);
    std::string message;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        message.append(buffer, size_t(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 2)
        return "<child failed>";
    return message;
}

// A temporary folder that the unprivileged user can enter.
struct SharedDir {
    QTemporaryDir dir;
    SharedDir() { QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                        | QFile::ReadGroup | QFile::ExeGroup
                                                        | QFile::ReadOther | QFile::ExeOther); }
    QString file(const QString &name) const { return dir.filePath(name); }
};
