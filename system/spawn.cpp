#include "system/spawn.h"

#include <QObject>
#include <QSocketNotifier>

#include <algorithm>
#include <memory>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace spawn {

Command::Command(const std::vector<std::string> &args, const std::vector<std::string> &environment)
{
    // Reserved whole, so that no string moves once its pointer is taken.
    storage.reserve(args.size() + environment.size());
    for (const std::string &arg : args)
        argv.push_back(storage.emplace_back(arg).data());
    for (const std::string &entry : environment)
        envp.push_back(storage.emplace_back(entry).data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
}

namespace {

long long millisecondsNow()
{
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Async-signal-safe from here to the end of the children's code.

void setSignalHandler(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    ::sigaction(signal, &action, nullptr);
}

// Closes the descriptors from `low` to `high`.
void closeRange(unsigned low, unsigned high)
{
    if (low > high)
        return;
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, low, high, 0) == 0)
        return;
#endif
    for (unsigned fd = low; fd <= high && fd < 65536; ++fd)
        ::close(int(fd));
}

// Closes every descriptor from 3 up but `a` and `b` (-1 for none).
void closeAllBut(int a, int b = -1)
{
    unsigned from = 3;
    for (const int keep : {std::min(a, b), std::max(a, b)}) {
        if (keep < 3)
            continue;
        closeRange(from, unsigned(keep) - 1);
        from = unsigned(keep) + 1;
    }
    closeRange(from, ~0U);
}

// In a child: runs the command with the signal handling a new program
// expects, and no descriptor but the standard ones. If that fails, writes
// why to `failed` (which closes itself on exec) and ends the child.
[[noreturn]] void execute(const Command &command, int failed)
{
    closeAllBut(failed);
    // A handler would run in the memory of the process that started this
    // one (see relay), and exec would reset it anyway.
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction action {};
        if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN)
            setSignalHandler(signal, SIG_DFL);
    }
    setSignalHandler(SIGXFSZ, SIG_DFL);
    setSignalHandler(SIGPIPE, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(command.argv[0], command.argv.data(), command.envp.data());
    const int error = errno;
    (void)!::write(failed, &error, sizeof error);
    ::_exit(127);
}

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= size_t(n);
    }
}

// Blocks every signal on this thread while it lives, and keeps errno when it
// puts the mask back: a child that borrows this process's memory (vfork)
// must not run a handler in it.
class SignalsBlocked
{
public:
    SignalsBlocked()
    {
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &m_before);
    }
    ~SignalsBlocked()
    {
        const int error = errno;
        ::pthread_sigmask(SIG_SETMASK, &m_before, nullptr);
        errno = error;
    }
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;
    // The mask from before, which a child that no longer shares this
    // process's memory puts back.
    const sigset_t &before() const { return m_before; }

private:
    sigset_t m_before;
};

// How long the relay still takes in what the started program says, once
// Wine's start has ended: a program that cannot load fails within moments.
constexpr long long ListenAfterEnd = 2000;
constexpr size_t Captured = 16384;

// Starts the command for the relay, with its output and error output into
// `output` and /dev/null as its input, and returns its process id (-1 where
// no process could be made). vfork: the runner borrows the relay's memory
// until it execs, so that the window's address space is not copied a
// second time. Signals stay blocked until the runner has put back the
// default handling.
pid_t startRunner(const Command &command, int failed, const int output[2])
{
    const SignalsBlocked blocked;
    const pid_t runner = ::vfork();
    if (runner == 0) {
        const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (input < 0 || ::dup2(input, STDIN_FILENO) < 0 || ::dup2(output[1], STDOUT_FILENO) < 0
            || ::dup2(output[1], STDERR_FILENO) < 0) {
            const int error = errno;
            (void)!::write(failed, &error, sizeof error);
            ::_exit(127);
        }
        execute(command, failed);
    }
    return runner;
}

// The relay (see spawnDetached): it runs the command with its output and
// error output into the pipe `output`, and passes everything on. To
// `report` it writes the command's wait status, then what came from it up
// to ListenAfterEnd after it ended, and closes it.
[[noreturn]] void relay(const Command &command, int failed, int output[2], int report, char *capture)
{
    const pid_t runner = startRunner(command, failed, output);
    if (runner < 0) {
        const int error = errno;
        (void)!::write(failed, &error, sizeof error);
        ::_exit(127);
    }
    closeAllBut(output[0], report);
    setSignalHandler(SIGPIPE, SIG_IGN);
    int status = -1;
    size_t captured = 0;
    bool ended = false, atEnd = false;
    long long deadline = 0;
    char chunk[4096];
    while (!atEnd || report >= 0) {
        struct pollfd in = {output[0], POLLIN, 0};
        const long long left = deadline - millisecondsNow();
        const int timeout = !ended ? 100 : report < 0 ? -1 : int(std::max(0LL, left));
        if (!atEnd && ::poll(&in, 1, timeout) > 0) {
            const ssize_t n = ::read(output[0], chunk, sizeof chunk);
            if (n > 0) {
                writeAll(STDERR_FILENO, chunk, size_t(n));
                const size_t taken = report < 0 ? 0 : std::min(size_t(n), Captured - captured);
                std::memcpy(capture + captured, chunk, taken);
                captured += taken;
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                atEnd = true;
            }
        }
        if (!ended && ::waitpid(runner, &status, atEnd ? 0 : WNOHANG) == runner) {
            ended = true;
            deadline = millisecondsNow() + ListenAfterEnd;
        }
        if (ended && report >= 0 && (atEnd || millisecondsNow() >= deadline)) {
            writeAll(report, reinterpret_cast<const char *>(&status), sizeof status);
            writeAll(report, capture, captured);
            ::close(report);
            report = -1;
        }
    }
    ::_exit(0);
}

// The first child of spawnDetached. It borrows the window's memory and
// stack (vfork), with every signal blocked, while the thread that started it
// waits, and only leaves a session and forks the detached child: so the
// window's address space is copied once, for that child, not once more for
// this one. The fork is the system call itself: the C library's would run
// its fork handlers, on locks in memory that this child shares with the
// window's process. The detached child has its own copy of that memory, and
// the signal mask the window's thread had.
[[noreturn]] void detach(const Command &command, bool relayed, int failed, int output[2], int report, char *capture,
                         const sigset_t &mask)
{
    ::setsid();
    const long second = ::syscall(SYS_clone, SIGCHLD, 0, nullptr, nullptr, 0);
    if (second == 0) {
        ::sigprocmask(SIG_SETMASK, &mask, nullptr);
        if (relayed)
            relay(command, failed, output, report, capture);
        execute(command, failed);
    }
    if (second < 0) {
        const int error = errno;
        (void)!::write(failed, &error, sizeof error);
    }
    ::_exit(0);
}

} // namespace

Started spawnDetached(const Command &command, bool relayed)
{
    int failed[2], output[2] = {-1, -1}, report[2] = {-1, -1};
    std::vector<char> capture(relayed ? Captured : 0);
    if (::pipe2(failed, O_CLOEXEC) != 0)
        return {errno};
    if (relayed && (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0)) {
        const int error = errno;
        for (int fd : {failed[0], failed[1], output[0], output[1], report[0], report[1]})
            if (fd >= 0)
                ::close(fd);
        return {error};
    }
    const pid_t pid = [&] {
        const SignalsBlocked blocked;
        const pid_t child = ::vfork();
        if (child == 0)
            detach(command, relayed, failed[1], output, report[1], capture.data(), blocked.before());
        return child;
    }();
    const int forkError = pid < 0 ? errno : 0;
    for (int fd : {failed[1], output[0], output[1], report[1]})
        if (fd >= 0)
            ::close(fd);
    int error = forkError;
    if (pid > 0) {
        ssize_t n;
        while ((n = ::read(failed[0], &error, sizeof error)) < 0 && errno == EINTR) {}
        if (n != ssize_t(sizeof error))
            error = 0;
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
    }
    ::close(failed[0]);
    if (error && report[0] >= 0) {
        ::close(report[0]);
        report[0] = -1;
    }
    return {error, report[0]};
}

void whenReported(int descriptor, QObject *context, const std::function<void(int, const QByteArray &)> &reported)
{
    auto *notifier = new QSocketNotifier(qintptr(descriptor), QSocketNotifier::Read, context);
    auto report = std::make_shared<QByteArray>();
    QObject::connect(notifier, &QObject::destroyed, [descriptor] { ::close(descriptor); });
    QObject::connect(notifier, &QSocketNotifier::activated, context, [=] {
        char chunk[4096];
        const ssize_t n = ::read(descriptor, chunk, sizeof chunk);
        if (n > 0) {
            report->append(chunk, n);
            return;
        }
        if (n < 0 && errno == EINTR)
            return;
        // The call may run an event loop (a message box), in which the
        // notifier must not fire again.
        notifier->setEnabled(false);
        notifier->deleteLater();
        int status = -1;
        if (report->size() >= qsizetype(sizeof status)) {
            std::memcpy(&status, report->constData(), sizeof status);
            reported(status, report->mid(sizeof status));
        }
    });
}

Ran runBriefly(const std::vector<std::string> &args, int milliseconds, int descriptor3)
{
    const Command command(args, {});
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
    if (descriptor3 >= 0)
        posix_spawn_file_actions_adddup2(&actions, descriptor3, 3);
    posix_spawn_file_actions_addclosefrom_np(&actions, descriptor3 >= 0 ? 4 : 3);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, command.argv[0], &actions, nullptr, command.argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error)
        return {Ran::Refused, error};
    int status = 0;
    const long long deadline = millisecondsNow() + milliseconds;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (millisecondsNow() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return {Ran::NoAnswer};
        }
        const struct timespec pause = {0, 2000000};
        ::nanosleep(&pause, nullptr);
    }
    return {Ran::Exited, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

} // namespace spawn
