// Test support: the Tavorins that Run starts, and the Wine that starts the
// Windows ones, all fakes that note what they saw.
#pragma once

#include "filebytes.h"

#include <QDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

// Writes an executable shell script at path.
inline void setScript(const QString &path, const QByteArray &body, mode_t mode = 0755)
{
    setFileBytes(path, body);
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

// The fake Tavorin of the tests (fake-tavorin.sh): notes its process id,
// working directory, one variable of its environment and its open standard
// descriptors in started.log beside itself, then lingers a while, as
// "sleep".
inline QByteArray fakeTavorin() { return fileBytes(QFINDTESTDATA("fake-tavorin.sh")); }

inline QStringList startedLines(const QString &dir)
{
    QFile log(QDir(dir).filePath("started.log"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
}

// Stops the fake Tavorins that noted themselves in dir.
inline void stopStarted(const QString &dir)
{
    for (const QString &line : startedLines(dir)) {
        const pid_t pid = pid_t(line.section('|', 0, 0).toLongLong());
        if (pid > 1)
            ::kill(pid, SIGKILL);
    }
}

// The fields of /proc/<pid>/stat after the command name: state, ppid,
// pgrp, session, tty_nr, ...
enum StatField { State = 0, ParentPid = 1, Session = 3, Terminal = 4 };

inline QStringList procStat(qint64 pid)
{
    const QByteArray stat = fileBytes(QStringLiteral("/proc/%1/stat").arg(pid));
    return QString::fromLatin1(stat.mid(stat.lastIndexOf(')') + 2)).split(' ');
}

// The open descriptors of a process, by number, once it runs `command`.
inline QStringList descriptorsOf(qint64 pid, const QString &command)
{
    const QString proc = QStringLiteral("/proc/%1/").arg(pid);
    if (!QTest::qWaitFor([&] { return fileBytes(proc + "comm").trimmed() == command.toUtf8(); }, 5000))
        return {"<not running " + command + ">"};
    // The kernel names the new program before it closes the descriptors
    // marked close-on-exec: the list counts once it stays the same a while.
    const auto list = [&] {
        QStringList numbers = QDir(proc + "fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
        std::sort(numbers.begin(), numbers.end(),
                  [](const QString &a, const QString &b) { return a.toInt() < b.toInt(); });
        return numbers;
    };
    QStringList numbers = list();
    for (int tries = 0; tries < 100; ++tries) {
        QTest::qWait(50);
        const QStringList again = list();
        if (again == numbers)
            break;
        numbers = again;
    }
    return numbers;
}

// Child processes of this process that have ended but were not reaped.
inline int zombieChildren()
{
    int zombies = 0;
    const auto entries = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const QStringList fields = procStat(pid);
        if (fields.size() > ParentPid && fields[ParentPid].toLongLong() == ::getpid() && fields[State] == "Z")
            ++zombies;
    }
    return zombies;
}

// The headers of a Windows program: "MZ", and where its header stands,
// which begins with `signature`; for "PE", the machine and the number of
// sections follow, and then `rest` (the section table, the sections).
inline QByteArray windowsProgram(const QByteArray &signature, quint16 machine = 0x8664, quint16 sections = 0,
                                 const QByteArray &rest = {})
{
    QByteArray header = signature.leftJustified(4, '\0') + char(machine & 0xff) + char(machine >> 8);
    header += char(sections & 0xff) + QByteArray(1, char(sections >> 8)) + QByteArray(16, '\0');
    return "MZ" + QByteArray(58, '\0') + QByteArray("\x40\0\0\0", 4) + header + rest;
}

// A section table entry whose bytes are `size` bytes at `start` of the file.
inline QByteArray sectionEntry(quint32 size, quint32 start)
{
    QByteArray entry(40, '\0');
    for (int i = 0; i < 4; ++i) {
        entry[16 + i] = char(size >> (8 * i));
        entry[20 + i] = char(start >> (8 * i));
    }
    return entry;
}

// A Wine of `kind` in the folder `work`, first on PATH, laid out as
// Debian's and Ubuntu's: a start script "wine" that names its two
// loaders. Kinds:
// - "64-bit only": the 64-bit loader alone;
// - "WoW64": that, with Wine's 32-bit DLLs, so that it runs 32-bit programs;
// - "both": both loaders;
// - "32-bit loader for another processor": both, but the 32-bit one cannot
//   run on this computer, as on one that runs no 32-bit programs;
// - "slow": both, each taking five seconds to answer.
// A loader that answers "--version" exits 0; otherwise it, or the script,
// notes its name ("script" for the script) and WINELOADER in
// `work`/loader-used, then does `said`,
// in `work`. WINEPREFIX names a prefix in `work` that a Wine without
// 32-bit support made.
inline void installFakeWine(const QString &work, const QString &kind, const QByteArray &said)
{
    QDir root(QDir(work).filePath("wine"));
    QVERIFY(root.removeRecursively() && root.mkpath("bin") && root.mkpath("lib/wine")
            && root.mkpath("lib/x86_64-linux-gnu/wine/i386-windows"));
    const QByteArray used = QFile::encodeName(QDir(work).filePath("loader-used"));
    const QByteArray then = "cd " + QFile::encodeName(work) + "\n" + said;
    const auto loader = [&](const char *name) {
        setScript(root.filePath("lib/wine/") + name,
                  QByteArray("#!/bin/sh\nif [ \"$1\" = --version ]; then ") + (kind == "slow" ? "/bin/sleep 5; " : "")
                      + "exit 0; fi\necho \"" + name + " $WINELOADER\" >>" + used + "\n" + then);
    };
    loader("wine64");
    if (kind == "both" || kind == "slow")
        loader("wine");
    if (kind == "32-bit loader for another processor") {
        // A program of this system's format, for ARM64.
        QByteArray elf = fileBytes("/bin/true");
        elf[18] = char(0xb7);
        elf[19] = 0;
        setScript(root.filePath("lib/wine/wine"), elf);
    }
    if (kind == "WoW64")
        setFileBytes(root.filePath("lib/x86_64-linux-gnu/wine/i386-windows/ntdll.dll"), "MZ");
    setScript(root.filePath("bin/wine"), "#!/bin/sh\nwine32=" + QFile::encodeName(root.filePath("lib/wine/wine"))
                                             + "\nwine64=" + QFile::encodeName(root.filePath("lib/wine/wine64"))
                                             + "\necho \"script $WINELOADER\" >>" + used + "\n" + then);
    qputenv("PATH", QFile::encodeName(root.filePath("bin")));
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("DISPLAY", ":0"); // an X display for Wine, which this fake never opens
    const QDir prefix(QDir(work).filePath("prefix"));
    QVERIFY(prefix.mkpath("drive_c/windows/syswow64"));
    setFileBytes(prefix.filePath("system.reg"),
                 "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n");
    setFileBytes(prefix.filePath(".update-timestamp"), "1676758571\n");
    qputenv("WINEPREFIX", QFile::encodeName(prefix.path()));
}
