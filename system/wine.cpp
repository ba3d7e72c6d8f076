#include "system/wine.h"

#include "base/descriptor.h"
#include "system/files.h"
#include "system/spawn.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <climits>
#include <cerrno>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace wine {

using files::bytesAt;
using files::hasType;
using files::onItsOwnLine;
using files::shown;
using spawn::Ran;
using spawn::runBriefly;

namespace {

uint32_t littleEndian(const std::string &bytes, size_t at, size_t count)
{
    uint32_t value = 0;
    for (size_t i = count; i-- > 0;)
        value = value << 8 | uint8_t(bytes[at + i]);
    return value;
}

} // namespace

// The DOS header names where the Windows header stands: "NE" for an old
// 16-bit program, "PE" and the file header, with its machine, for the rest.
// The section table follows the optional header, and each section names
// where its bytes lie in the file.
WindowsKind windowsKind(const std::string &program)
{
    struct stat st {};
    const std::string dos = bytesAt(program, 0, 64);
    if (dos.size() < 64 || ::stat(program.c_str(), &st) != 0)
        return {};
    const uint64_t size = uint64_t(st.st_size);
    const uint32_t offset = littleEndian(dos, 60, 4);
    const std::string header = bytesAt(program, off_t(offset), 24); // the signature and the file header
    if (header.size() >= 2 && header.compare(0, 2, "NE") == 0)
        return {WindowsKind::Win16};
    if (header.size() < 24 || header.compare(0, 4, std::string("PE\0\0", 4)) != 0)
        return {};
    const uint32_t sections = littleEndian(header, 6, 2);
    const uint64_t table = uint64_t(offset) + 24 + littleEndian(header, 20, 2);
    if (table + 40 * uint64_t(sections) > size)
        return {};
    const std::string entries = bytesAt(program, off_t(table), 40 * size_t(sections));
    for (size_t at = 0; at + 40 <= entries.size(); at += 40) {
        const uint64_t rawSize = littleEndian(entries, at + 16, 4), rawStart = littleEndian(entries, at + 20, 4);
        if (rawSize > 0 && rawStart + rawSize > size)
            return {};
    }
    return {WindowsKind::Win32, uint16_t(littleEndian(header, 4, 2))};
}

namespace {

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

bool needs32(const WindowsKind &kind) { return kind.format == WindowsKind::Win16 || kind.machine == MachineI386; }

// The ELF class of a file: 32 or 64 for a program of this system, else 0.
int elfBits(const std::string &path)
{
    const std::string start = bytesAt(path, 0, 5);
    if (start.size() < 5
        || start.compare(0, 4,
                         "\x7f"
                         "ELF")
               != 0)
        return 0;
    return start[4] == 1 ? 32 : start[4] == 2 ? 64 : 0;
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

// What identifies a file's present content: it changes when the file is
// replaced, removed or written.
std::string fileIdentity(const std::string &path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return "-|";
    return std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + ':' + std::to_string(st.st_size) + ':'
         + std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec) + ':'
         + std::to_string(st.st_ctim.tv_sec) + '.' + std::to_string(st.st_ctim.tv_nsec) + '|';
}

} // namespace

WineInstall wineInstallAt(const std::string &wine)
{
    WineInstall install;
    install.wine = wine;
    char resolved[PATH_MAX];
    if (!::realpath(wine.c_str(), resolved))
        return install;
    const std::string real = resolved;
    const std::string dir = real.substr(0, real.rfind('/'));
    const std::string start = bytesAt(real, 0, 65536);
    if (start.compare(0, 2, "#!") == 0) {
        install.loader32 = assignedIn(start, "wine32");
        install.loader64 = assignedIn(start, "wine64");
        install.picksLoader = !install.loader32.empty() && !install.loader64.empty();
    } else if (elfBits(real) == 32) {
        install.loader32 = real;
        install.loader64 = dir + "/wine64";
    } else if (elfBits(real) == 64) {
        install.loader64 = real;
        install.loader32 = dir + "/wine";
    }
    std::string ntdll;
    if (!install.loader64.empty()) {
        // WoW64 mode needs Wine's 32-bit ntdll.dll beside its 64-bit DLLs:
        // in Debian's layout, or Wine's own, relative to the loader.
        const std::string loaderDir = install.loader64.substr(0, install.loader64.rfind('/'));
        for (const char *libraries :
             {"/../x86_64-linux-gnu/wine", "/../lib/x86_64-linux-gnu/wine", "/../lib64/wine", "/../lib/wine"}) {
            if (hasType(loaderDir + libraries + "/i386-windows/ntdll.dll", S_IFREG))
                ntdll = loaderDir + libraries + "/i386-windows/ntdll.dll";
        }
    }
    install.wow64Libraries = !ntdll.empty();
    install.identity = fileIdentity(real) + install.loader32 + fileIdentity(install.loader32) + install.loader64
                     + fileIdentity(install.loader64) + ntdll;
    return install;
}

Answer computerRuns32BitPrograms()
{
    // An ELF header, one loadable segment, and the code: exit(42) through
    // the 32-bit system call gate.
    static const unsigned char program[96] = {
        0x7f, 0x45, 0x4c, 0x46, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x02, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x54, 0x80, 0x04, 0x08, 0x34, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x34, 0x00, 0x20, 0x00, 0x01, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x04, 0x08,
        0x00, 0x80, 0x04, 0x08, 0x60, 0x00, 0x00, 0x00, 0x60, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,
        0x00, 0x10, 0x00, 0x00, 0xb8, 0x01, 0x00, 0x00, 0x00, 0xbb, 0x2a, 0x00, 0x00, 0x00, 0xcd, 0x80,
    };
    static const Answer answer = [] {
        // From memory, not a file: a folder for temporary files may forbid
        // running programs.
        const FileDescriptor file(::memfd_create("tavorin-i386-check", MFD_CLOEXEC));
        if (file.get() < 0 || ::write(file.get(), program, sizeof program) != ssize_t(sizeof program))
            return Answer::Unknown;
        const Ran ran = runBriefly({"/proc/self/fd/3"}, 2000, file.get());
        if (ran.how == Ran::Exited)
            return ran.value == 42 ? Answer::Yes : Answer::Unknown;
        return ran.how == Ran::Refused && ran.value == ENOEXEC ? Answer::No : Answer::Unknown;
    }();
    return answer;
}

namespace {

LoaderAnswer answerOf(const std::string &loader)
{
    if (loader.empty())
        return {};
    if (!hasType(loader, S_IFREG) || ::access(loader.c_str(), X_OK) != 0)
        return {LoaderAnswer::Missing};
    const Ran ran = runBriefly({loader, "--version"}, 10000);
    switch (ran.how) {
    case Ran::Exited:
        return ran.value == 0 ? LoaderAnswer{LoaderAnswer::Runs} : LoaderAnswer{LoaderAnswer::Fails, ran.value};
    case Ran::Refused:
        return {LoaderAnswer::Refused, ran.value};
    case Ran::NoAnswer:
        break;
    }
    return {};
}

// What has been learned of installations, by identity, and which are
// being learned. Never destroyed: a thread may still be learning when the
// program ends.
struct Learned {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, WineAbilities> known;
    std::set<std::string> learning;
};

Learned &learned()
{
    static Learned *const learned = new Learned;
    return *learned;
}

} // namespace

WineAbilities abilitiesOf(const WineInstall &install, int waitMilliseconds)
{
    if (install.loader32.empty() && install.loader64.empty())
        return {};
    Learned &all = learned();
    std::unique_lock<std::mutex> lock(all.mutex);
    if (!all.known.count(install.identity) && all.learning.insert(install.identity).second) {
        std::thread([install] {
            WineAbilities abilities;
            abilities.computerRuns32 = computerRuns32BitPrograms();
            abilities.loader32 = answerOf(install.loader32);
            abilities.loader64 = answerOf(install.loader64);
            Learned &all = learned();
            const std::lock_guard<std::mutex> lock(all.mutex);
            all.known[install.identity] = abilities;
            all.learning.erase(install.identity);
            all.changed.notify_all();
        }).detach();
    }
    all.changed.wait_for(lock, std::chrono::milliseconds(waitMilliseconds),
                         [&] { return all.known.count(install.identity) > 0; });
    const auto found = all.known.find(install.identity);
    return found == all.known.end() ? WineAbilities{} : found->second;
}

WineStart wineStartFor(const WindowsKind &kind, const WineInstall &install, const WineAbilities &abilities)
{
    std::string loader;
    if (install.picksLoader) {
        if (!needs32(kind))
            loader = install.loader64;
        else if (abilities.loader32.state == LoaderAnswer::Runs)
            loader = install.loader32;
        else if (abilities.loader64.state == LoaderAnswer::Runs && install.wow64Libraries)
            loader = install.loader64;
    }
    if (loader.empty())
        return {install.wine, {}};
    WineStart start{loader, {}};
    // As the script does, WINELOADER names the 64-bit loader only where no
    // 32-bit one runs here: then Wine starts Tavorin, and every program it
    // starts, through that loader. Elsewhere Wine finds its loaders beside
    // the one it was started with; through WINELOADER, it would start each
    // program with one more exec of a loader, some 10 ms a program.
    if (loader == install.loader64 && abilities.loader32.state != LoaderAnswer::Runs
        && qEnvironmentVariableIsEmpty("WINELOADER"))
        start.environment.push_back("WINELOADER=" + loader);
    if (qEnvironmentVariableIsEmpty("WINEDEBUG"))
        start.environment.push_back("WINEDEBUG=fixme-all");
    return start;
}

namespace {

// A path as a shell takes it: in single quotes where it needs them.
QString quoted(const std::string &path)
{
    const QString text = shown(path);
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_@%+=:,./-]+$"));
    if (plain.match(text).hasMatch())
        return text;
    return QLatin1Char('\'') + QString(text).replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\'');
}

// Why a loader that was found did not answer, in words.
QString whyNoAnswer(const LoaderAnswer &answer)
{
    if (answer.state == LoaderAnswer::Fails)
        return QStringLiteral("it ended with status %1").arg(answer.value);
    return QString::fromLocal8Bit(std::strerror(answer.value));
}

const QString Install32
    = QStringLiteral("Install 32-bit Wine: on Debian and Ubuntu, as root,\n"
                     "    dpkg --add-architecture i386 && apt-get update && apt-get install wine32:i386\n"
                     "Then press Run again");

// Why the loader of `bits` cannot run a program that needs it; empty where
// it runs or gave no answer.
QString whyLoaderCannot(const std::string &name, const QString &what, int bits, const WineInstall &install,
                        const WineAbilities &abilities)
{
    const LoaderAnswer &answer = bits == 32 ? abilities.loader32 : abilities.loader64;
    const std::string &loader = bits == 32 ? install.loader32 : install.loader64;
    if (bits == 32 && abilities.computerRuns32 == Answer::No)
        return QStringLiteral("%1is %2, and this computer runs no 32-bit programs at all: its Linux kernel was "
                              "built or started without them. On it, the Wine installed here runs only 64-bit "
                              "Windows programs, and installing 32-bit Wine does not change that. A 64-bit "
                              "Tavorin.exe runs here")
            .arg(onItsOwnLine(name), what);
    if (answer.state == LoaderAnswer::Runs || answer.state == LoaderAnswer::Unknown)
        return {};
    if (answer.state == LoaderAnswer::Missing || (answer.state == LoaderAnswer::Refused && answer.value == ENOENT)) {
        if (bits == 32)
            return QStringLiteral("%1is %2, and the Wine installed here runs only 64-bit ones. ")
                       .arg(onItsOwnLine(name), what)
                 + Install32;
        return QStringLiteral("%1is a 64-bit Windows program, and the Wine installed here runs only 32-bit ones. "
                              "Install 64-bit Wine (on Debian and Ubuntu, the package \"wine64\") and press Run again")
            .arg(onItsOwnLine(name));
    }
    const LoaderAnswer &other = bits == 32 ? abilities.loader64 : abilities.loader32;
    const QString otherRuns = other.state != LoaderAnswer::Runs ? QString()
                            : bits == 32                        ? QStringLiteral(". A 64-bit Tavorin.exe runs here")
                                                                : QStringLiteral(". A 32-bit Tavorin.exe runs here");
    if (answer.state == LoaderAnswer::Refused && answer.value == ENOEXEC)
        return QStringLiteral("%1is %2, and Wine's %3-bit loader%4is not a program this computer can run%5")
            .arg(onItsOwnLine(name), what)
            .arg(bits)
            .arg(onItsOwnLine(loader), otherRuns);
    return QStringLiteral("%1is %2, and Wine's %3-bit loader%4does not work here: %5")
        .arg(onItsOwnLine(name), what)
        .arg(bits)
        .arg(onItsOwnLine(loader), whyNoAnswer(answer));
}

} // namespace

QString whyWineCannotRun(const std::string &program, const WindowsKind &kind, const WineInstall &install,
                         const WineAbilities &abilities, const std::string &prefix)
{
    const QString name = onItsOwnLine(program);
#if defined(__x86_64__) || defined(__i386__)
    if (kind.format == WindowsKind::Win32 && kind.machine != MachineI386 && kind.machine != MachineAmd64)
        return QStringLiteral("%1is a Windows program for %2 processors, and Wine runs only programs for this "
                              "computer's processor (x86, 32-bit or 64-bit). Tavorin needs a Tavorin.exe made for x86")
            .arg(name, machineName(kind.machine));
#endif
    if (needs32(kind)) {
        // In WoW64 mode the 64-bit loader runs it.
        const bool wow64 = install.wow64Libraries && abilities.loader64.state == LoaderAnswer::Runs;
        const QString what
            = kind.format == WindowsKind::Win16
                ? QStringLiteral("an old 16-bit Windows program, which Wine runs with its 32-bit support")
                : QStringLiteral("a 32-bit Windows program");
        const QString why = wow64 ? QString() : whyLoaderCannot(program, what, 32, install, abilities);
        if (!why.isEmpty())
            return why;
    } else if (kind.machine == MachineAmd64) {
        const QString why
            = whyLoaderCannot(program, QStringLiteral("a 64-bit Windows program"), 64, install, abilities);
        if (!why.isEmpty())
            return why;
    }
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
    if (needs32(kind) && !hasType(prefix + "/drive_c/windows/syswow64/kernel32.dll", S_IFREG)
        && ::access((prefix + "/.update-timestamp").c_str(), F_OK) == 0)
        return QStringLiteral("%1is a 32-bit Windows program, and the Wine prefix%2was made by a Wine without "
                              "32-bit support, so it has none. Let Wine update the prefix, in a terminal:\n"
                              "    rm %3\n    WINEPREFIX=%4 wineboot -u\nThen press Run again")
            .arg(name, onItsOwnLine(prefix), quoted(prefix + "/.update-timestamp"), quoted(prefix));
    return {};
}

namespace {

// Whether `path` is this user's own and no one else may change it: owned
// by this user, and writable by no group or other user.
bool ownedByMe(const std::string &path, mode_t type)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type && st.st_uid == ::geteuid()
        && (st.st_mode & 022) == 0;
}

} // namespace

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

// Of Wine's lines, its debug lines ("fixme", "err" and the like) are noise
// here but for those of its module loader, which tell why a program could
// not be loaded; so are its notes on updating the prefix, and the advice
// of Debian's wine script to install 32-bit Wine, which it gives whenever
// it runs the 64-bit loader, even where 32-bit Wine cannot run or is not
// needed: where it is needed and can be installed, the configurator says
// so itself, before Wine is asked.
QString wineFailure(int status, const QByteArray &output)
{
    static const QRegularExpression debugLine(QStringLiteral("^[0-9a-fA-F]+:(fixme|err|warn|trace):([^:]*):"));
    static const QRegularExpression install32(
        QStringLiteral("^(it looks like wine32 is missing|multiarch needs to be enabled first|as root, please"
                       "|execute \"dpkg --add-architecture i386|apt-get install wine32:i386\")"));
    QStringList lines;
    bool failed = !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (const QByteArray &raw : output.split('\n')) {
        QString line = QString::fromLocal8Bit(raw).trimmed();
        if (line.isEmpty() || install32.match(line).hasMatch())
            continue;
        const QRegularExpressionMatch debug = debugLine.match(line);
        if (debug.hasMatch()) {
            if (debug.captured(1) != QLatin1String("err") || debug.captured(2) != QLatin1String("module"))
                continue;
            failed = true;
            line.remove(0, line.indexOf(QLatin1Char(':')) + 1);
        } else if (line.startsWith(QLatin1String("wine: "))) {
            if (line.contains(QLatin1String("has been updated"))
                || line.contains(QLatin1String("created the configuration")))
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

} // namespace wine
