// Run's start of Tavorin, called directly: which Tavorin.exe it finds, how
// it starts a Linux one and, through Wine, a Windows one, and what it says
// when it cannot. Every program started here gets a descriptor 251 that
// it must not inherit, and a pipe as its input.

#include "faketavorin.h"
#include "system/launch.h"
#include "system/wine.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

using namespace launch;
using namespace wine;

extern char **environ;

namespace {

// The descriptor that this process passes on to everything it starts.
constexpr int Planted = 251;

const QStringList StandardOnly{"0", "1", "2"};

QString text(Answer answer)
{
    return answer == Answer::Yes ? "runs" : answer == Answer::No ? "does not run" : "cannot tell whether it runs";
}

} // namespace

class tst_Launch : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void knowsWhetherThisComputerRuns32BitPrograms();
    void startsTavorinDetached();
    void searchesOwnFolderThenPathNeverCurrent();
    void failureIsReported_data();
    void failureIsReported();
    void startsThroughALoaderThatRuns_data();
    void startsThroughALoaderThatRuns();
    void namesOnlyWhatAnswered_data();
    void namesOnlyWhatAnswered();
    void judgesWinesWords();
    void usesOnlyTheUsersOwnPrefix_data();
    void usesOnlyTheUsersOwnPrefix();

private:
    // Starts Tavorin.exe as Run does, from the folder `own`, once what the
    // Wine on PATH can run is learned, if `learned`. Returns why it could
    // not start; a later failure goes to m_late.
    QString start(bool learned = true);
    QString own(const QString &name) const { return QDir(m_own->path()).filePath(name); }
    QString work(const QString &name) const { return QDir(m_work->path()).filePath(name); }

    std::unique_ptr<QTemporaryDir> m_own, m_work;
    QStringList m_late;
    std::unique_ptr<QObject> m_context; // of one test: what Wine reports later goes with it
    QByteArray m_path, m_display;
    QString m_savedDir;
};

void tst_Launch::initTestCase()
{
    const int null = ::open("/dev/null", O_RDONLY);
    QCOMPARE(::dup2(null, Planted), Planted);
    ::close(null);
    // And an input of its own, which only a Linux Tavorin keeps.
    int input[2];
    QCOMPARE(::pipe(input), 0);
    QCOMPARE(::dup2(input[0], STDIN_FILENO), STDIN_FILENO);
    ::close(input[0]);
    qInfo("this computer %s 32-bit programs", qPrintable(text(computerRuns32BitPrograms())));
}

void tst_Launch::cleanupTestCase() { ::close(Planted); }

void tst_Launch::init()
{
    m_own = std::make_unique<QTemporaryDir>();
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_own->isValid() && m_work->isValid());
    m_late.clear();
    m_context = std::make_unique<QObject>();
    m_path = qgetenv("PATH");
    m_display = qgetenv("DISPLAY");
    m_savedDir = QDir::currentPath();
}

void tst_Launch::cleanup()
{
    for (const QString &dir : {m_own->path(), m_work->path(), m_work->filePath("bin")})
        stopStarted(dir);
    const QByteArray holder = fileBytes(work("holder.pid")).trimmed();
    if (holder.toLongLong() > 1)
        ::kill(pid_t(holder.toLongLong()), SIGKILL);
    m_context.reset();
    qputenv("PATH", m_path);
    if (m_display.isEmpty())
        qunsetenv("DISPLAY");
    else
        qputenv("DISPLAY", m_display);
    qunsetenv("WINEPREFIX");
    QDir::setCurrent(m_savedDir);
    // A loader that answered what Wine can run is reaped by the thread
    // that asked, within moments.
    QTRY_COMPARE_WITH_TIMEOUT(zombieChildren(), 0, 1000);
}

QString tst_Launch::start(bool learned)
{
    const QString wine = QStandardPaths::findExecutable("wine");
    prepareToStart("Tavorin.exe", QFile::encodeName(m_own->path()));
    if (learned && !wine.isEmpty())
        abilitiesOf(wineInstallAt(sp(wine)), 20000);
    return startProgram("Tavorin.exe", QFile::encodeName(m_own->path()), m_context.get(),
                        [this](const QString &why) { m_late << why; });
}

void tst_Launch::knowsWhetherThisComputerRuns32BitPrograms()
{
    // The system's own 32-bit program loader, where it is installed, runs
    // exactly where 32-bit programs do.
    const char *const loader = "/lib/ld-linux.so.2";
    if (::access(loader, X_OK) != 0)
        QSKIP("No 32-bit program of the system's own is installed here to tell.");
    char *argv[] = {const_cast<char *>(loader), const_cast<char *>("--version"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, loader, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = -1;
    if (error == 0)
        QCOMPARE(::waitpid(pid, &status, 0), pid);
    QVERIFY2(error == 0 || error == ENOEXEC, strerror(error));
    QCOMPARE(computerRuns32BitPrograms(), error == 0 && status == 0 ? Answer::Yes : Answer::No);
}

void tst_Launch::startsTavorinDetached()
{
    setScript(own("Tavorin.exe"), fakeTavorin());
    QVERIFY(QDir::setCurrent(m_work->path()));
    qputenv("TAVORIN_TEST_MARK", "inherited");
    QCOMPARE(start(), QString());
    QCOMPARE(start(), QString());
    qunsetenv("TAVORIN_TEST_MARK");

    QTRY_COMPARE_WITH_TIMEOUT(startedLines(m_own->path()).size(), 2, 5000);
    for (const QString &line : startedLines(m_own->path())) {
        const QStringList fields = line.split('|');
        QCOMPARE(fields.value(1), QDir(m_work->path()).canonicalPath());
        QCOMPARE(fields.value(2), QString("inherited"));
        // Still running after the start returned, and not our child: it is
        // in a session of its own and outlives the configurator.
        const qint64 pid = fields[0].toLongLong();
        const QStringList stat = procStat(pid);
        QVERIFY(stat.size() > Terminal);
        QVERIFY(stat[State] != "Z");
        QVERIFY(stat[ParentPid].toLongLong() != ::getpid());
        // Its session was made inside this process's namespace, so it has
        // an id here even where ours (created outside) reads as 0.
        QVERIFY(stat[Session].toLongLong() > 0);
        QVERIFY(stat[Session].toLongLong() != ::getsid(0));
        QCOMPARE(stat[Terminal], QString("0")); // no controlling terminal
        QCOMPARE(descriptorsOf(pid, "sleep"), StandardOnly);
    }
}

void tst_Launch::searchesOwnFolderThenPathNeverCurrent()
{
    // A Tavorin.exe in the current directory and one on PATH; none beside
    // the configurator: the one on PATH runs. Once there is one beside it,
    // that one runs, or is reported.
    QVERIFY(QDir(m_work->path()).mkdir("cwd"));
    QVERIFY(QDir(m_work->path()).mkdir("bin") && QDir(m_work->path()).mkdir("closed"));
    const QString cwd = work("cwd"), bin = work("bin"), closed = work("closed"); // closed's may not be run
    setScript(QDir(cwd).filePath("Tavorin.exe"), fakeTavorin());
    setScript(QDir(bin).filePath("Tavorin.exe"), fakeTavorin());
    setScript(QDir(closed).filePath("Tavorin.exe"), fakeTavorin(), 0644);
    QVERIFY(QDir::setCurrent(cwd));
    qputenv("PATH", (".::cwd:" + closed + ":" + bin + ":" + m_path).toLocal8Bit());

    QCOMPARE(start(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(startedLines(bin).size(), 1, 5000);

    // One beside the configurator comes first.
    setScript(own("Tavorin.exe"), fakeTavorin());
    QCOMPARE(start(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(startedLines(m_own->path()).size(), 1, 5000);
    QCOMPARE(startedLines(bin).size(), 1);
    QCOMPARE(startedLines(cwd), QStringList());

    // One beside it that cannot run is reported, not passed over for the
    // one on PATH.
    QCOMPARE(::chmod(QFile::encodeName(own("Tavorin.exe")).constData(), 0644), 0);
    const QString why = start();
    QVERIFY2(why.contains(own("Tavorin.exe")) && why.contains("not marked as executable"), qPrintable(why));
    QCOMPARE(startedLines(bin).size(), 1);
    stopStarted(cwd);
}

void tst_Launch::failureIsReported_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("wine"); // which Wine is installed (see installFakeWine), or none
    QTest::addColumn<QByteArray>("said"); // what its start does
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("absent"); // what the reason must not say

    const QByteArray pe64 = windowsProgram(QByteArray("PE\0\0", 4)),
                     pe32 = windowsProgram(QByteArray("PE\0\0", 4), 0x14c);
    const QByteArray ok = "exit 0";
    // Where this computer runs no 32-bit programs, that is why a 32-bit
    // Tavorin cannot run, whatever Wine has.
    const bool no32 = computerRuns32BitPrograms() == Answer::No;
    const QString noneHere = "this computer runs no 32-bit programs at all";
    const QString install32 = "Install 32-bit Wine";
    QTest::newRow("not found") << QByteArray() << 0 << "" << ok << "was found neither in"
                               << "";
    QTest::newRow("not executable") << fakeTavorin() << 0644 << "" << ok << "not marked as executable"
                                    << "";
    QTest::newRow("not a program") << QByteArray("just some text\n") << 0755 << "" << ok
                                   << "not a program this system can run"
                                   << "";
    QTest::newRow("interpreter missing") << QByteArray("#!/no/such/shell -e\n") << 0755 << "" << ok
                                         << "the program that runs it, /no/such/shell, is missing"
                                         << "";
    QTest::newRow("Windows program, no Wine") << pe64 << 0644 << "" << ok << "Debian's and Ubuntu's package \"wine\""
                                              << "";
    QTest::newRow("damaged Windows program") << QByteArray("MZ, and then nothing") << 0644 << "" << ok << "is damaged"
                                             << "";
    QTest::newRow("section table cut short") << windowsProgram(QByteArray("PE\0\0", 4), 0x8664, 2, sectionEntry(16, 0))
                                             << 0644 << "both" << ok << "is damaged"
                                             << "";
    QTest::newRow("section cut short") << windowsProgram(QByteArray("PE\0\0", 4), 0x8664, 1, sectionEntry(0x200, 128))
                                       << 0644 << "both" << ok << "is damaged"
                                       << "";
    QTest::newRow("32-bit, Wine without 32-bit support")
        << pe32 << 0644 << "64-bit only" << ok
        << (no32 ? noneHere
                 : "is a 32-bit Windows program, and the Wine installed here runs only 64-bit ones. " + install32)
        << "";
    QTest::newRow("32-bit, a 32-bit loader this computer cannot run")
        << pe32 << 0644 << "32-bit loader for another processor" << ok
        << (no32 ? noneHere : "/wine/lib/wine/wine\nis not a program this computer can run") << install32;
    QTest::newRow("16-bit, Wine without 32-bit support")
        << windowsProgram("NE") << 0644 << "64-bit only" << ok << "is an old 16-bit Windows program"
        << "";
    QTest::newRow("ARM64") << windowsProgram(QByteArray("PE\0\0", 4), 0xaa64) << 0644 << "WoW64" << ok
                           << "is a Windows program for ARM64 processors"
                           << "";
    QTest::newRow("32-bit, prefix without 32-bit support")
        << pe32 << 0644 << "WoW64" << ok
        << "was made by a Wine without 32-bit support, so it has none. Let Wine update the prefix, in a terminal:\n    "
           "rm "
        << "";
    // Wine's start ends well, and the program then fails to load; a process
    // that Wine left behind keeps the output open meanwhile.
    QTest::newRow("Wine fails after its start")
        << pe64 << 0644 << "WoW64"
        << QByteArray(
               "/bin/sleep 60 & echo $! >holder.pid\n"
               "echo '0114:fixme:ntdll:x not done yet' >&2\n"
               "echo '0114:err:module:import_dll Library tavorin.dll (which is needed by Tavorin.exe) not found' >&2\n")
        << "Wine said:\n    err:module:import_dll Library tavorin.dll (which is needed by Tavorin.exe) not found"
        << "";
    QTest::newRow("a Wayland session without X") << pe64 << 0644 << "WoW64" << ok << "only on an X display"
                                                 << "";
    // Debian's script advises 32-bit Wine whenever it runs the 64-bit
    // loader, needed or not.
    QTest::newRow("Wine's start fails") << pe64 << 0644 << "64-bit only"
                                        << QByteArray(
                                               "echo 'it looks like wine32 is missing, you should install it.' >&2\n"
                                               "echo 'as root, please execute \"apt-get install wine32:i386\"' >&2\n"
                                               "echo 'wine: failed to start L\"Tavorin.exe\"'; exit 5\n")
                                        << "It ended with status 5. Wine said:\n    wine: failed to start"
                                        << "wine32";
}

void tst_Launch::failureIsReported()
{
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(QString, wine);
    QFETCH(QByteArray, said);
    QFETCH(QString, reason);
    QFETCH(QString, absent);

    if (!content.isEmpty())
        setScript(own("Tavorin.exe"), content, mode_t(mode));
    qputenv("PATH", QFile::encodeName(m_work->path())); // holds no Tavorin.exe
    if (!wine.isEmpty())
        installFakeWine(m_work->path(), wine, said);
    if (QByteArray(QTest::currentDataTag()).contains("without X"))
        qunsetenv("DISPLAY");

    const QString now = start();
    if (now.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(!m_late.isEmpty(), 4000);
    const QString why = now.isEmpty() ? m_late.value(0) : now;
    QVERIFY2(why.contains("Tavorin.exe"), qPrintable(why));
    QVERIFY2(why.contains(reason), qPrintable(why));
    QVERIFY2(absent.isEmpty() || !why.contains(absent), qPrintable(why));
}

void tst_Launch::startsThroughALoaderThatRuns_data()
{
    QTest::addColumn<quint16>("machine");
    QTest::addColumn<QString>("wine"); // see installFakeWine
    QTest::addColumn<bool>("learned"); // what the Wine can run, before Run
    QTest::addColumn<QString>("started"); // what started Tavorin: a loader, or the script
    QTest::addColumn<QString>("winLoader"); // WINELOADER, as the loader sees it: set where no 32-bit loader runs

    // Where it is told, the loader that runs the program is started
    // itself: Debian's script would run the 32-bit loader even for a
    // 64-bit program, and even where it cannot run. So a computer
    // without 32-bit programs starts a 64-bit Tavorin.
    QTest::newRow("64-bit") << quint16(0x8664) << "both" << true << "wine64"
                            << "";
    QTest::newRow("64-bit, a 32-bit loader this computer cannot run")
        << quint16(0x8664) << "32-bit loader for another processor" << true << "wine64"
        << "wine/lib/wine/wine64";
    QTest::newRow("32-bit") << quint16(0x14c) << "both" << true << "wine"
                            << "";
    QTest::newRow("32-bit in WoW64 mode") << quint16(0x14c) << "WoW64" << true << "wine64"
                                          << "wine/lib/wine/wine64";
    // What the loaders can do is not waited for: a 64-bit program goes to
    // the 64-bit loader still; for a 32-bit one, the script decides.
    QTest::newRow("64-bit, loaders slow to answer") << quint16(0x8664) << "slow" << false << "wine64"
                                                    << "wine/lib/wine/wine64";
    QTest::newRow("32-bit, loaders slow to answer") << quint16(0x14c) << "slow" << false << "script"
                                                    << "";
}

void tst_Launch::startsThroughALoaderThatRuns()
{
    QFETCH(quint16, machine);
    QFETCH(QString, wine);
    QFETCH(bool, learned);
    QFETCH(QString, started);
    QFETCH(QString, winLoader);
    if (machine == 0x14c && wine == "both" && computerRuns32BitPrograms() == Answer::No)
        QSKIP("This computer runs no 32-bit programs, and a 32-bit loader that runs is not to be had.");

    // Its one section ends where the file does, as in every stripped program.
    setScript(own("Tavorin.exe"), windowsProgram(QByteArray("PE\0\0", 4), machine, 1, sectionEntry(28, 100)), 0644);
    // What a Wine reinstalled in the same place can run is learned anew.
    if (wine == "both") {
        installFakeWine(m_work->path(), wine, {});
        setScript(work("wine/lib/wine/wine64"), "#!/bin/sh\nexit 3\n");
        abilitiesOf(wineInstallAt(sp(work("wine/bin/wine"))), 20000);
    }
    installFakeWine(m_work->path(), wine, "echo $$ >holder.pid\nexec /bin/sleep 30\n");
    setFileBytes(work("prefix/drive_c/windows/syswow64/kernel32.dll"), "MZ"); // a prefix made for both kinds
    QCOMPARE(start(learned), QString());
    QTRY_VERIFY_WITH_TIMEOUT(fileBytes(work("holder.pid")).endsWith('\n'), 4000);
    QCOMPARE(QString::fromLocal8Bit(fileBytes(work("loader-used")).trimmed()),
             (started + " " + (winLoader.isEmpty() ? QString() : work(winLoader))).trimmed());
    // Wine gets /dev/null as its input, the relay's pipe as its output and
    // error output, and no other descriptor.
    const qint64 pid = fileBytes(work("holder.pid")).trimmed().toLongLong();
    QCOMPARE(descriptorsOf(pid, "sleep"), StandardOnly);
    const auto target = [pid](int fd) {
        char link[256] = {};
        return QByteArray(link, int(::readlink(qPrintable(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd)), link,
                                               sizeof link - 1)));
    };
    QCOMPARE(target(0), QByteArray("/dev/null"));
    QVERIFY2(target(1).startsWith("pipe:"), target(1).constData());
    QCOMPARE(target(2), target(1));
    QCOMPARE(m_late, QStringList());
}

void tst_Launch::namesOnlyWhatAnswered_data()
{
    QTest::addColumn<quint16>("machine");
    QTest::addColumn<int>("computer"); // Answer
    QTest::addColumn<int>("state32"); // LoaderAnswer
    QTest::addColumn<int>("value32");
    QTest::addColumn<int>("state64");
    QTest::addColumn<QString>("reason"); // empty: none is given, and Wine is asked
    QTest::addColumn<QString>("absent");

    const int unknown = int(Answer::Unknown), yes = int(Answer::Yes), no = int(Answer::No);
    const QString noneHere = "this computer runs no 32-bit programs at all";
    const QString install32 = "Install 32-bit Wine";
    const quint16 pe32 = 0x14c, pe64 = 0x8664;
    QTest::newRow("no 32-bit programs, no 32-bit Wine")
        << pe32 << no << int(LoaderAnswer::Missing) << 0 << int(LoaderAnswer::Runs) << noneHere << install32;
    QTest::newRow("no 32-bit programs, 32-bit Wine installed")
        << pe32 << no << int(LoaderAnswer::Refused) << ENOEXEC << int(LoaderAnswer::Runs) << noneHere << install32;
    QTest::newRow("no 32-bit programs, the 32-bit loader unanswered")
        << pe32 << no << int(LoaderAnswer::Unknown) << 0 << int(LoaderAnswer::Runs) << noneHere << install32;
    QTest::newRow("no 32-bit Wine") << pe32 << yes << int(LoaderAnswer::Missing) << 0 << int(LoaderAnswer::Runs)
                                    << install32 << "";
    QTest::newRow("32-bit libraries missing")
        << pe32 << yes << int(LoaderAnswer::Refused) << ENOENT << int(LoaderAnswer::Runs) << install32 << "";
    QTest::newRow("32-bit loader failing") << pe32 << yes << int(LoaderAnswer::Fails) << 3 << int(LoaderAnswer::Runs)
                                           << "does not work here: it ended with status 3" << install32;
    QTest::newRow("32-bit loader unanswered")
        << pe32 << yes << int(LoaderAnswer::Unknown) << 0 << int(LoaderAnswer::Runs) << ""
        << "";
    QTest::newRow("nothing answered") << pe32 << unknown << int(LoaderAnswer::Unknown) << 0
                                      << int(LoaderAnswer::Unknown) << ""
                                      << "";
    QTest::newRow("64-bit, no 64-bit Wine")
        << pe64 << yes << int(LoaderAnswer::Runs) << 0 << int(LoaderAnswer::Missing) << "Install 64-bit Wine"
        << "";
    QTest::newRow("64-bit, 64-bit loader unanswered")
        << pe64 << yes << int(LoaderAnswer::Runs) << 0 << int(LoaderAnswer::Unknown) << ""
        << "";
    QTest::newRow("64-bit, no 32-bit programs")
        << pe64 << no << int(LoaderAnswer::Refused) << ENOEXEC << int(LoaderAnswer::Runs) << ""
        << "";
}

void tst_Launch::namesOnlyWhatAnswered()
{
    QFETCH(quint16, machine);
    QFETCH(int, computer);
    QFETCH(int, state32);
    QFETCH(int, value32);
    QFETCH(int, state64);
    QFETCH(QString, reason);
    QFETCH(QString, absent);

    WineInstall install;
    install.wine = "/usr/bin/wine";
    install.loader32 = "/usr/lib/wine/wine";
    install.loader64 = "/usr/lib/wine/wine64";
    install.picksLoader = true;
    WineAbilities abilities;
    abilities.computerRuns32 = Answer(computer);
    abilities.loader32.state = decltype(abilities.loader32.state)(state32);
    abilities.loader32.value = value32;
    abilities.loader64.state = decltype(abilities.loader64.state)(state64);
    const QString why
        = whyWineCannotRun("/t/Tavorin.exe", {WindowsKind::Win32, machine}, install, abilities, "/nonexistent");
    if (reason.isEmpty())
        QCOMPARE(why, QString());
    // Without WoW64's libraries, only the 32-bit loader runs a 32-bit
    // program; until it answers, the script chooses.
    if (machine == 0x14c && state32 != int(LoaderAnswer::Runs))
        QCOMPARE(wineStartFor({WindowsKind::Win32, machine}, install, abilities).program, install.wine);
    QVERIFY2(why.contains(reason), qPrintable(why));
    QVERIFY2(absent.isEmpty() || !why.contains(absent), qPrintable(why));
}

void tst_Launch::judgesWinesWords()
{
    // A program that started well may print Wine's debug lines, errors
    // among them: only the module loader's tell of a failure.
    QCOMPARE(wineFailure(0, "0114:err:d3d:wined3d_x not done\n0114:fixme:ntdll:y\n"), QString());
}

void tst_Launch::usesOnlyTheUsersOwnPrefix_data()
{
    QTest::addColumn<QString>("planted"); // how the prefix around Tavorin's folder came to be
    QTest::addColumn<bool>("used");
    QTest::newRow("the user's own") << "" << true;
    QTest::newRow("drive_c writable by the group") << "group" << false;
    QTest::newRow("system.reg of another user") << "another user" << false;
}

void tst_Launch::usesOnlyTheUsersOwnPrefix()
{
    // Tavorin's folder lies inside a prefix: its own drive_c and system.reg
    // beside it. Wine runs it there only when no one else could have put
    // them there; otherwise in the prefix that the environment names.
    QFETCH(QString, planted);
    QFETCH(bool, used);
    if (planted == "another user" && ::geteuid() != 0)
        QSKIP("A file of another user needs a second user, which only root can be here.");
    QCOMPARE(::chmod(QFile::encodeName(m_own->path()).constData(), 0755), 0); // whatever the umask made it
    QVERIFY(QDir(m_own->path()).mkpath("drive_c"));
    setFileBytes(own("system.reg"), "WINE REGISTRY Version 2\n\n#arch=win64\n");
    QCOMPARE(::chmod(QFile::encodeName(own("drive_c")).constData(), planted == "group" ? 0775 : 0755), 0);
    QCOMPARE(::chmod(QFile::encodeName(own("system.reg")).constData(), 0644), 0);
    if (planted == "another user")
        QCOMPARE(::chown(QFile::encodeName(own("system.reg")).constData(), 4242, 4242), 0);
    setScript(own("Tavorin.exe"), windowsProgram(QByteArray("PE\0\0", 4)), 0644);
    installFakeWine(m_work->path(), "WoW64", "echo \"$WINEPREFIX\" >prefix-used\n");

    QCOMPARE(start(), QString());
    const QString record = work("prefix-used");
    QTRY_VERIFY_WITH_TIMEOUT(fileBytes(record).endsWith('\n'), 4000);
    QCOMPARE(QString::fromLocal8Bit(fileBytes(record).trimmed()), used ? m_own->path() : work("prefix"));
}

QTEST_GUILESS_MAIN(tst_Launch)
#include "tst_launch.moc"
