// Test support: running profile operations in a child process, as another
// user or under limits of its own.
#pragma once

#include <QFile>
#include <QTemporaryDir>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// Who a child process runs as: a user id, its group and further groups.
// No accounts are needed for them.
struct User {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups = {};
};
inline const User Nobody{65534, 65534};

inline bool isRoot() { return ::geteuid() == 0; }

// Runs `work` in a child process and returns the text it returned, or ""
// for nullopt. As root, the child takes the ids of `user` first, when one
// is given; an ordinary user cannot, and its child stays that user, for
// whom permission bits apply anyway.
inline std::string writeInChild(const std::function<std::optional<std::string>()> &work,
                                const std::optional<User> &user = Nobody)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return "<pipe failed>";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (user && isRoot()
            && (::setgroups(user->groups.size(), user->groups.data()) != 0 || ::setgid(user->gid) != 0
                || ::setuid(user->uid) != 0))
            ::_exit(2);
        const auto text = work();
        const std::string message = text ? *text : std::string();
        (void)!::write(pipeFds[1], message.data(), message.size());
        ::_exit(text ? 1 : 0);
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

// A temporary folder that the child processes can enter but not write:
// as root they are another user, and for an ordinary user, whose children
// stay that user, it is made read-only by closeToChildren().
struct SharedDir {
    QTemporaryDir dir;
    SharedDir() { ::chmod(QFile::encodeName(dir.path()).constData(), 0755); }
    ~SharedDir() { ::chmod(QFile::encodeName(dir.path()).constData(), 0755); }
    void closeToChildren()
    {
        if (!isRoot())
            ::chmod(QFile::encodeName(dir.path()).constData(), 0555);
    }
    void open() { ::chmod(QFile::encodeName(dir.path()).constData(), 0755); }
    QString file(const QString &name) const { return dir.filePath(name); }
};
