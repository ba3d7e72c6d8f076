// Run against Wine's own start, side by side: the time from Run (the call
// that the button makes) until the Windows Tavorin runs (its first line in
// started.log beside it), against the same "wine start /min" typed in a
// terminal, in the same prefix, taking turns. Warm: Wine's server stays up
// between starts; cold: it is stopped before each. Also how long Run holds
// the window's thread, with real loaders and with loaders that take five
// seconds to answer. Prints tab-separated lines:
//
//   pair <warm|cold> <run ms> <terminal ms>
//   hold <what> <longest ms>
//
// Usage: bench-launch <pairs> <Tavorin's folder, inside $WINEPREFIX> <work folder>

#include "system/launch.h"
#include "system/wine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <spawn.h>
#include <sys/wait.h>

using namespace launch;
using namespace wine;

extern char **environ;

namespace {

int linesIn(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : 0;
}

// Waits, at most two minutes, until `log` has more than `before` lines.
bool waitForLine(const QString &log, int before)
{
    QElapsedTimer clock;
    clock.start();
    while (linesIn(log) <= before) {
        if (clock.hasExpired(120000))
            return false;
        QCoreApplication::processEvents();
        QThread::usleep(500);
    }
    return true;
}

void wineserver(const QStringList &args) { QProcess::execute("wineserver", args); }

// A Wine whose loaders take five seconds to answer "--version", laid out as
// Debian's, in `folder`; its loaders start nothing.
QString slowWine(const QString &folder)
{
    QDir(folder).mkpath("bin");
    QDir(folder).mkpath("lib/wine");
    const auto script = [](const QString &path, const QByteArray &body) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write("#!/bin/sh\n" + body);
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    for (const char *loader : {"wine", "wine64"})
        script(folder + "/lib/wine/" + loader, "[ \"$1\" = --version ] && /bin/sleep 5\nexit 0\n");
    script(folder + "/bin/wine", "wine32=" + QFile::encodeName(folder) + "/lib/wine/wine\nwine64="
                                     + QFile::encodeName(folder) + "/lib/wine/wine64\nexit 0\n");
    return folder + "/bin";
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench-launch <pairs> <Tavorin's folder> <work folder>\n");
        return 2;
    }
    const int pairs = std::atoi(argv[1]);
    const QString folder = QString::fromLocal8Bit(argv[2]), work = QString::fromLocal8Bit(argv[3]);
    const QString log = folder + "/started.log", program = folder + "/Tavorin.exe";
    QObject context;
    QString failed;
    qint64 held = 0;

    // Where this computer runs no 32-bit programs, Debian's wine command
    // cannot start anything: a terminal user would start the 64-bit loader.
    const QString wine = QStandardPaths::findExecutable("wine");
    const WineInstall install = wineInstallAt(QFile::encodeName(wine).toStdString());
    const WineAbilities abilities = abilitiesOf(install, 20000);
    const bool scriptWorks = abilities.computerRuns32 != Answer::No;
    const QByteArray terminalWine = scriptWorks ? QFile::encodeName(wine) : QByteArray(install.loader64.c_str());
    if (!scriptWorks)
        qputenv("WINELOADER", terminalWine);

    const auto run = [&] {
        const int before = linesIn(log);
        QElapsedTimer clock;
        clock.start();
        const QString why = startProgram("Tavorin.exe", QFile::encodeName(folder), &context,
                                         [&](const QString &late) { failed = late; });
        held = std::max(held, clock.elapsed());
        if (!why.isEmpty() || !waitForLine(log, before))
            failed = why.isEmpty() ? QStringLiteral("Tavorin did not start") : why;
        return clock.nsecsElapsed() / 1e6;
    };
    const auto terminal = [&] {
        const int before = linesIn(log);
        const QByteArray exe = QFile::encodeName(program);
        char *args[] = {const_cast<char *>(terminalWine.constData()),
                        const_cast<char *>("start"),
                        const_cast<char *>("/min"),
                        const_cast<char *>("/d"),
                        const_cast<char *>("."),
                        const_cast<char *>("/unix"),
                        const_cast<char *>(exe.constData()),
                        nullptr};
        QElapsedTimer clock;
        clock.start();
        pid_t pid = -1;
        if (::posix_spawn(&pid, args[0], nullptr, nullptr, args, environ) != 0 || !waitForLine(log, before))
            failed = QStringLiteral("wine start did not start Tavorin");
        const double ms = clock.nsecsElapsed() / 1e6;
        ::waitpid(pid, nullptr, 0);
        return ms;
    };

    QDir::setCurrent(folder);
    for (const bool warm : {true, false}) {
        if (warm) {
            wineserver({"-p"}); // stays up, however long nothing runs
            run(); // unmeasured: the page cache, the prefix's update
            terminal();
        }
        for (int i = 0; i < pairs && failed.isEmpty(); ++i) {
            // Taking turns at which goes first.
            const bool runFirst = i % 2 == 0;
            double runMs = 0, terminalMs = 0;
            for (int turn = 0; turn < 2; ++turn) {
                if (!warm) {
                    wineserver({"-k"});
                    wineserver({"-w"});
                }
                if ((turn == 0) == runFirst)
                    runMs = run();
                else
                    terminalMs = terminal();
                QThread::msleep(300); // Wine's start ends meanwhile
            }
            std::printf("pair\t%s\t%.1f\t%.1f\n", warm ? "warm" : "cold", runMs, terminalMs);
        }
        wineserver({"-k"});
    }
    std::printf("hold\treal loaders\t%lld\n", held);

    // Loaders that are slow to answer: Run, pressed as soon as the window
    // is up, does not wait for them.
    qputenv("PATH", QFile::encodeName(slowWine(work + "/slow-wine")));
    qunsetenv("WINELOADER");
    for (const char *kind : {"64-bit", "32-bit"}) {
        const QString slow = work + "/slow-" + kind;
        QDir().mkpath(slow);
        QFile::copy(QString::fromLocal8Bit(kind) == "64-bit" ? program : folder + "/Tavorin32.exe",
                    slow + "/Tavorin.exe");
        prepareToStart("Tavorin.exe", QFile::encodeName(slow));
        QElapsedTimer clock;
        clock.start();
        startProgram("Tavorin.exe", QFile::encodeName(slow), &context, [](const QString &) {});
        std::printf("hold\tloaders that answer after 5 s, %s Tavorin\t%lld\n", kind, clock.elapsed());
    }
    std::fflush(stdout);
    if (!failed.isEmpty()) {
        std::fprintf(stderr, "bench-launch: %s\n", qPrintable(failed));
        return 1;
    }
    return 0;
}
