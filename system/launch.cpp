#include "system/launch.h"

#include "system/descriptor.h"

#include <QFile>
#include <QObject>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStringList>

#include <algorithm>
#include <memory>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <climits>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

QString shown(const std::string &path) { return QFile::decodeName(path.c_str()); }

// A path on a line of its own, indented, as a message shows it whole.
QString onItsOwnLine(const std::string &path) { return QStringLiteral("\n    ") + shown(path) + QLatin1Char('\n'); }

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
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    const ssize_t n = fd.get() < 0 ? -1 : ::pread(fd.get(), bytes.data(), count, offset);
    bytes.resize(n > 0 ? size_t(n) : 0);
    return bytes;
}

// What the headers of a Windows program say it is.
struct WindowsKind {
    enum { Damaged, Win16, Win32 } format = Damaged;
    uint16_t machine = 0; // the PE header's machine field, for Win32
};

constexpr uint16_t MachineI386 = 0x14c;
constexpr uint16_t MachineAmd64 = 0x8664;

// The DOS header names where the Windows header stands: "NE" for an old
// 16-bit program, "PE" and the file header, with its machine, for the rest.
WindowsKind windowsKind(const std::string &program)
{
    const std::string dos = bytesAt(program, 0, 64);
    if (dos.size() < 64)
        return {};
    const auto byte = [](const std::string &bytes, size_t i) { return uint32_t(uint8_t(bytes[i])); };
    const uint32_t offset = byte(dos, 60) | byte(dos, 61) << 8 | byte(dos, 62) << 16 | byte(dos, 63) << 24;
    const std::string header = bytesAt(program, off_t(offset), 24); // the signature and the file header
    if (header.size() >= 2 && header.compare(0, 2, "NE") == 0)
        return {WindowsKind::Win16};
    if (header.size() < 24 || header.compare(0, 4, std::string("PE\0\0", 4)) != 0)
        return {};
    return {WindowsKind::Win32, uint16_t(byte(header, 4) | byte(header, 5) << 8)};
}

QString machineName(uint16_t machine)
{
    switch (machine) {
    case MachineI386:
        return QStringLiteral("32-bit");
    case MachineAmd64:
        return QStringLiteral("64-bit");
    case 0xaa64:
        return QStringLiteral("ARM64");
    case 0x1c0:
    case 0x1c4:
        return QStringLiteral("ARM");
    case 0x200:
        return QStringLiteral("Itanium");
    default:
        return QStringLiteral("unknown (machine 0x%1)").arg(machine, 4, 16, QLatin1Char('0'));
    }
}

// The ELF class of a file: 32 or 64 for a program of this system, else 0.
int elfBits(const std::string &path)
{
    const std::string start = bytesAt(path, 0, 5);
    if (start.size() < 5 || start.compare(0, 4, "\x7f" "ELF") != 0)
        return 0;
    return start[4] == 1 ? 32 : start[4] == 2 ? 64 : 0;
}

// Whether `loader --version` runs and succeeds within two seconds: the
// loader and the libraries it needs are all there. It takes a few
// milliseconds.
bool answers(const std::string &loader)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
    char *argv[] = {const_cast<char *>(loader.c_str()), const_cast<char *>("--version"), nullptr};
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, loader.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error)
        return false;
    int status = 0;
    for (int waited = 0; ::waitpid(pid, &status, WNOHANG) == 0; ++waited) {
        if (waited == 200) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return false;
        }
        ::usleep(10000);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The value of the shell assignment `name=...` in a wrapper script, or "".
std::string assignedIn(const std::string &script, const std::string &name)
{
    for (size_t at = 0; (at = script.find(name + "=", at)) != std::string::npos; at += name.size()) {
        if (at > 0 && script[at - 1] != '\n' && script[at - 1] != ' ' && script[at - 1] != '\t')
            continue;
        std::string value = script.substr(at + name.size() + 1);
        value.resize(value.find_first_of("\n;") == std::string::npos ? value.size() : value.find_first_of("\n;"));
        value.erase(std::remove(value.begin(), value.end(), '"'), value.end());
        if (!value.empty() && value.front() == '/')
            return value;
    }
    return {};
}

// Which kinds of Windows program the Wine at `wine` can run. Wine runs a
// 32-bit program with its 32-bit loader, the program "wine" beside its
// 64-bit loader "wine64"; without one, the 64-bit loader runs it in WoW64
// mode, with Wine's 32-bit DLLs and no 32-bit libraries of the system.
// Debian's and Ubuntu's "wine" is a script that names both loaders;
// Wine's own packages put the loaders themselves on PATH.
struct WineKinds {
    bool known = false; // false: the installation is not one that can be told
    bool runs32 = false;
    bool runs64 = false;
};

WineKinds wineKinds(const std::string &wine)
{
    char resolved[PATH_MAX];
    if (!::realpath(wine.c_str(), resolved))
        return {};
    const std::string real = resolved;
    const std::string dir = real.substr(0, real.rfind('/'));
    std::string loader32, loader64;
    const std::string start = bytesAt(real, 0, 65536);
    if (start.compare(0, 2, "#!") == 0) {
        loader32 = assignedIn(start, "wine32");
        loader64 = assignedIn(start, "wine64");
    } else if (elfBits(real) == 32) {
        loader32 = real;
        loader64 = dir + "/wine64";
    } else if (elfBits(real) == 64) {
        loader64 = real;
        loader32 = dir + "/wine";
    }
    if (loader32.empty() && loader64.empty())
        return {};
    WineKinds kinds{true};
    kinds.runs64 = elfBits(loader64) == 64 && answers(loader64);
    kinds.runs32 = elfBits(loader32) == 32 && answers(loader32);
    if (!kinds.runs32 && kinds.runs64) {
        // WoW64 mode needs Wine's 32-bit ntdll.dll beside its 64-bit DLLs:
        // in Debian's layout, or Wine's own, relative to the loader.
        const std::string loaderDir = loader64.substr(0, loader64.rfind('/'));
        for (const char *libraries : {"/../x86_64-linux-gnu/wine", "/../lib/x86_64-linux-gnu/wine", "/../lib64/wine",
                                      "/../lib/wine"}) {
            if (hasType(loaderDir + libraries + "/i386-windows/ntdll.dll", S_IFREG))
                kinds.runs32 = true;
        }
    }
    return kinds;
}

// A path as a shell takes it: in single quotes where it needs them.
QString quoted(const std::string &path)
{
    const QString text = shown(path);
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_@%+=:,./-]+$"));
    if (plain.match(text).hasMatch())
        return text;
    return QLatin1Char('\'') + QString(text).replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\'');
}

const QString Install32 = QStringLiteral(
    "Install 32-bit Wine: on Debian and Ubuntu, as root,\n"
    "    dpkg --add-architecture i386 && apt-get update && apt-get install wine32:i386\n"
    "Then press Run again");

// Why this Wine cannot run `program`, of `kind`, in the prefix `prefix`;
// empty when nothing stands in the way that can be told beforehand.
QString whyWineCannotRun(const std::string &program, const WindowsKind &kind, const WineKinds &wine,
                         const std::string &prefix)
{
    const QString name = onItsOwnLine(program);
#if defined(__x86_64__) || defined(__i386__)
    if (kind.format == WindowsKind::Win32 && kind.machine != MachineI386 && kind.machine != MachineAmd64)
        return QStringLiteral("%1is a Windows program for %2 processors, and Wine runs only programs for this "
                              "computer's processor (x86, 32-bit or 64-bit). Tavorin needs a Tavorin.exe made for x86")
            .arg(name, machineName(kind.machine));
#endif
    const bool needs32 = kind.format == WindowsKind::Win16 || kind.machine == MachineI386;
    if (wine.known && needs32 && !wine.runs32) {
        const QString what = kind.format == WindowsKind::Win16
                               ? QStringLiteral("an old 16-bit Windows program, which Wine runs with its 32-bit support")
                               : QStringLiteral("a 32-bit Windows program");
        return QStringLiteral("%1is %2, and the Wine installed here runs only 64-bit ones. ").arg(name, what) + Install32;
    }
    if (wine.known && kind.machine == MachineAmd64 && !wine.runs64)
        return QStringLiteral("%1is a 64-bit Windows program, and the Wine installed here runs only 32-bit ones. "
                              "Install 64-bit Wine (on Debian and Ubuntu, the package \"wine64\") and press Run again")
            .arg(name);
    // A prefix Wine has yet to make is made for both kinds.
    const std::string registry = bytesAt(prefix + "/system.reg", 0, 4096);
    if (registry.empty())
        return {};
    if (kind.machine == MachineAmd64 && registry.find("\n#arch=win32") != std::string::npos)
        return QStringLiteral("%1is a 64-bit Windows program, and the Wine prefix%2was made for 32-bit programs "
                              "only. Install Tavorin into a prefix made without WINEARCH=win32")
            .arg(name, onItsOwnLine(prefix));
    // A prefix made by a Wine without 32-bit support has no 32-bit system
    // DLLs. Wine adds them when it updates the prefix, which it does on its
    // next start once the prefix's update mark is gone.
    if (needs32 && !hasType(prefix + "/drive_c/windows/syswow64/kernel32.dll", S_IFREG)
        && ::access((prefix + "/.update-timestamp").c_str(), F_OK) == 0)
        return QStringLiteral("%1is a 32-bit Windows program, and the Wine prefix%2was made by a Wine without "
                              "32-bit support, so it has none. Let Wine update the prefix, in a terminal:\n"
                              "    rm %3\n    WINEPREFIX=%4 wineboot -u\nThen press Run again")
            .arg(name, onItsOwnLine(prefix), quoted(prefix + "/.update-timestamp"), quoted(prefix));
    return {};
}

// Whether `path` is this user's own and no one else may change it: owned
// by this user, and writable by no group or other user.
bool ownedByMe(const std::string &path, mode_t type)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type && st.st_uid == ::geteuid()
        && (st.st_mode & 022) == 0;
}

// The Wine prefix that `folder` lies inside: the nearest folder, itself or
// above it, that holds drive_c and system.reg; empty when there is none.
// Whoever may create names in a folder could plant a prefix there, with
// commands that Wine runs at its start: so a prefix is used only when it,
// its drive_c and its system.reg are this user's own, and the search stops
// at the first folder that belongs to neither this user nor root.
std::string winePrefixOf(std::string folder)
{
    for (;;) {
        const std::string here = folder.empty() ? "/" : folder;
        struct stat st {};
        if (::stat(here.c_str(), &st) != 0 || (st.st_uid != ::geteuid() && st.st_uid != 0))
            return {};
        if (hasType(folder + "/drive_c", S_IFDIR) && hasType(folder + "/system.reg", S_IFREG)) {
            if (ownedByMe(here, S_IFDIR) && ownedByMe(folder + "/drive_c", S_IFDIR)
                && ownedByMe(folder + "/system.reg", S_IFREG))
                return here;
            return {};
        }
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

// The argument and environment vectors of a program to run. Made before
// fork: the child of a process with threads may not allocate.
struct Command {
    Command(const std::vector<std::string> &args, const std::vector<std::string> &environment)
    {
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        for (const std::string &entry : environment)
            envp.push_back(const_cast<char *>(entry.c_str()));
        argv.push_back(nullptr);
        envp.push_back(nullptr);
    }
    std::vector<char *> argv, envp;
};

// Async-signal-safe from here to the end of the children's code: the
// parent has threads.

void setSignalHandler(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    ::sigaction(signal, &action, nullptr);
}

// In a child: runs the command with the signal handling a new program
// expects. If that fails, writes why to `failed` and ends the child.
[[noreturn]] void execute(const Command &command, int failed)
{
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

void closeAllBut(int a, int b)
{
    const unsigned low = unsigned(std::min(a, b)), high = unsigned(std::max(a, b));
    const unsigned ranges[][2] = {{3, low - 1}, {low + 1, high - 1}, {high + 1, ~0U}};
    for (const auto &range : ranges) {
        if (range[0] > range[1])
            continue;
#ifdef SYS_close_range
        if (::syscall(SYS_close_range, range[0], range[1], 0) == 0)
            continue;
#endif
        for (unsigned fd = range[0]; fd <= range[1] && fd < 65536; ++fd)
            ::close(int(fd));
    }
}

long long millisecondsNow()
{
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// How long the relay still takes in what the started program says, once
// Wine's start has ended: a program that cannot load fails within moments.
constexpr long long ListenAfterEnd = 2000;
constexpr size_t Captured = 16384;

// The relay between Wine and the configurator: it runs the command with
// its output and error output into a pipe, and passes everything on to the
// configurator's own error output, for as long as anything (the program,
// Wine's server) writes there, so that nothing waits on a full pipe. To
// `report` it writes the command's wait status, then what came from it up
// to ListenAfterEnd after it ended, and closes it.
[[noreturn]] void relay(const Command &command, int failed, int output[2], int report, char *capture)
{
    const pid_t runner = ::fork();
    if (runner == 0) {
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(output[1], STDERR_FILENO);
        execute(command, failed);
    }
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

struct Started {
    int error = 0;   // why the program could not be run, or 0
    int report = -1; // with a relay: where it reports
};

// Runs the command in a session of its own, as a grandchild of this
// process, so that nothing waits for it and no zombie is left when it
// ends. With `relayed`, its output goes through a relay (see relay()),
// whose report the caller reads from Started::report and closes.
Started spawn(const Command &command, bool relayed)
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
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const pid_t second = ::fork();
        if (second == 0) {
            if (relayed)
                relay(command, failed[1], output, report[1], capture.data());
            execute(command, failed[1]);
        }
        if (second < 0) {
            const int error = errno;
            (void)!::write(failed[1], &error, sizeof error);
        }
        ::_exit(0);
    }
    const int forkError = pid < 0 ? errno : 0;
    for (int fd : {failed[1], output[0], output[1], report[1]})
        if (fd >= 0)
            ::close(fd);
    int error = forkError;
    if (pid > 0) {
        ssize_t n;
        while ((n = ::read(failed[0], &error, sizeof error)) < 0 && errno == EINTR) {
        }
        if (n != ssize_t(sizeof error))
            error = 0;
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    ::close(failed[0]);
    if (error && report[0] >= 0) {
        ::close(report[0]);
        report[0] = -1;
    }
    return {error, report[0]};
}

// Calls `reported` with what the relay at `descriptor` reports (see
// relay()), once it has all of it, and closes the descriptor.
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

// What Wine said of a failed start: the first of its lines that say
// something to a user, without its notes on unfinished parts ("fixme") and
// the like, or on updating the prefix. Empty when nothing it said tells of
// a failure and it ended well.
QString wineFailure(int status, const QByteArray &output)
{
    static const QRegularExpression debugLine(QStringLiteral("^[0-9a-fA-F]+:(fixme|err|warn|trace):([^:]*):"));
    QStringList lines;
    bool failed = !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (const QByteArray &raw : output.split('\n')) {
        QString line = QString::fromLocal8Bit(raw).trimmed();
        if (line.isEmpty())
            continue;
        const QRegularExpressionMatch debug = debugLine.match(line);
        if (debug.hasMatch()) {
            // Of Wine's debug lines, those of its module loader tell why a
            // program could not be loaded; the others are noise here.
            if (debug.captured(1) != QLatin1String("err") || debug.captured(2) != QLatin1String("module"))
                continue;
            failed = true;
            line.remove(0, line.indexOf(QLatin1Char(':')) + 1);
        } else if (line.startsWith(QLatin1String("wine: "))) {
            if (line.contains(QLatin1String("has been updated")) || line.contains(QLatin1String("created the configuration")))
                continue;
            failed = true;
        }
        if (lines.size() < 6)
            lines << (line.size() > 200 ? line.left(200) + QStringLiteral("…") : line);
    }
    if (!failed)
        return {};
    QString how;
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        how = QStringLiteral("It ended with status %1. ").arg(WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        how = QStringLiteral("It was stopped by signal %1. ").arg(WTERMSIG(status));
    if (lines.isEmpty())
        return how + QStringLiteral("The program may be damaged, or its Wine prefix unusable");
    return how + QStringLiteral("Wine said:\n    ") + lines.join(QStringLiteral("\n    "));
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
        return onItsOwnLine(program) + QStringLiteral("is damaged: it starts as a Windows program but is not a whole one");
    std::string wine;
    for (const std::string &dir : pathDirectories()) {
        if (hasType(dir + "/wine", S_IFREG) && ::access((dir + "/wine").c_str(), X_OK) == 0) {
            wine = dir + "/wine";
            break;
        }
    }
    if (wine.empty())
        return onItsOwnLine(program) + QStringLiteral("is a Windows program, and Wine, which runs Windows programs here, "
                                               "was not found on the search path (PATH). Install Wine (Debian's and "
                                               "Ubuntu's package \"wine\") and press Run again");

    // Wine shows windows only on X; in a Wayland session, through XWayland.
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return onItsOwnLine(program) + QStringLiteral("is a Windows program, and Wine, which runs it, shows its windows only "
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
    const QString cannot = whyWineCannotRun(program, kind, wineKinds(wine), prefix);
    if (!cannot.isEmpty())
        return cannot;

    // Wine's start would otherwise change to the program's folder; "/d ."
    // keeps the working directory, which Wine sees as a Z: path.
    const std::vector<std::string> args{wine, "start", "/min", "/d", ".", "/unix", program};
    const std::vector<std::string> environment = environmentWith(found);
    const Started started = spawn(Command(args, environment), true);
    if (started.error)
        return QStringLiteral("Wine (%1) could not be started: %2").arg(shown(wine), inWords(started.error, wine));
    whenReported(started.report, context, [=](int status, const QByteArray &output) {
        const QString said = wineFailure(status, output);
        if (!said.isEmpty())
            lateFailure(QStringLiteral("Wine could not start") + onItsOwnLine(program) + said);
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
                return onItsOwnLine(candidate) + QStringLiteral("is not a program file");
            continue;
        }
        if (bytesAt(candidate, 0, 2) == "MZ")
            return startThroughWine(candidate, context, lateFailure);
        if (::access(candidate.c_str(), X_OK) != 0) {
            // On PATH, keep looking, as a shell would, but remember why this
            // one could not run in case no other is found.
            const QString why = onItsOwnLine(candidate) + QStringLiteral("may not be run: it is not marked as executable");
            if (beside)
                return why;
            if (refused.isEmpty())
                refused = why;
            continue;
        }
        const std::vector<std::string> args{candidate}, environment = environmentWith({});
        if (const int error = spawn(Command(args, environment), false).error)
            return onItsOwnLine(candidate) + QStringLiteral("could not be started: ") + inWords(error, candidate);
        return QString();
    }
    if (!refused.isEmpty())
        return refused;
    return name + QStringLiteral(" was found neither in") + onItsOwnLine(ownDirectory.toStdString())
         + QStringLiteral(" nor on the search path (PATH)");
}
