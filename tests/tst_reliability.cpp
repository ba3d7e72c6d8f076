// Reliability: Setup.ini is never lost or corrupted. A writer killed at any
// moment, two writers at once, an editor saving meanwhile and strange files
// in the place of Setup.ini each leave a file that Tavorin can read, or an
// error that says why (a full disk and refused permissions are the durable
// file layer's tests). Each test prints what it tried.
//
// The test executable plays the configurator, so the window's Setup.ini is
// the one beside it (in a folder of its own, shared with no other test).

#include "window/application.h"
#include "childprocess.h"
#include "filebytes.h"
#include "window/frmMain.h"
#include "messageboxwatcher.h"
#include "settings/durablefile.h"
#include "settings/profile.h"
#include "settings/profilefile.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <random>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>

extern char **environ;

namespace {

// AddressSanitizer holds freed memory back for a while, so peak memory
// says nothing about the program in a sanitizer build.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool MemoryMeasured = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool MemoryMeasured = false;
#else
constexpr bool MemoryMeasured = true;
#endif
#else
constexpr bool MemoryMeasured = true;
#endif

const QStringList Keys{"UseCard", "UseDepth", "SyncRate", "ShowHelp", "ShowMode"};

// A Setup.ini as users keep it: comments, blank lines and other sections
// around the five settings.
const QByteArray HandEdited = "; Tavorin settings, kept by hand\r\n"
                              "[Display]\r\n"
                              "Width=640\r\n"
                              "\r\n"
                              "[Tavorin]\r\n"
                              "UseCard=1\r\n"
                              "; chosen by the installer\r\n"
                              "UseDepth=16\r\n"
                              "SyncRate=0\r\n"
                              "ShowHelp=1\r\n"
                              "ShowMode=1\r\n"
                              "\r\n"
                              "[Sound]\r\n"
                              "Volume=7\r\n";

// Matches exactly HandEdited with each of the five values replaced by one of
// `values` (or kept, when keepAllowed): every other byte must be as it was.
QRegularExpression handEditedWith(const QStringList &values, bool keepAllowed)
{
    QString pattern = QRegularExpression::escape(QString::fromLatin1(HandEdited));
    for (const QString &key : Keys) {
        const QRegularExpression line(QStringLiteral("(%1=)(\\d+)").arg(key));
        const QString stored = line.match(QString::fromLatin1(HandEdited)).captured(2);
        QStringList choices = values;
        if (keepAllowed)
            choices << stored;
        pattern.replace(QRegularExpression::escape(key + "=" + stored),
                        QRegularExpression::escape(key + "=") + "(" + choices.join('|') + ")");
    }
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern));
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// The temporary files of writers (hidden files) in dir.
QStringList leftovers(const QString &dir) { return entries(dir).filter(QRegularExpression("^\\.")); }

// Starts the apply-loop helper on path as the given writer.
pid_t startApplyLoop(const QString &path, int writer, int applies, const std::optional<User> &as = std::nullopt)
{
    const std::string file = sp(path), who = std::to_string(writer), count = std::to_string(applies);
    char *argv[] = {const_cast<char *>(APPLY_LOOP), const_cast<char *>(file.c_str()), const_cast<char *>(who.c_str()),
                    const_cast<char *>(count.c_str()), nullptr};
    if (!as) {
        pid_t pid = -1;
        return ::posix_spawn(&pid, APPLY_LOOP, nullptr, nullptr, argv, environ) == 0 ? pid : -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(as->groups.size(), as->groups.data()) == 0 && ::setgid(as->gid) == 0 && ::setuid(as->uid) == 0)
            ::execv(APPLY_LOOP, argv);
        ::_exit(127);
    }
    return pid;
}

// Waits at most `seconds` for the process to end; kills it after that.
// Returns its exit status, or -1 when it did not end by itself.
int finish(pid_t pid, int seconds)
{
    QElapsedTimer clock;
    clock.start();
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (clock.hasExpired(seconds * 1000)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(1000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a child process reports about its work on a strange Setup.ini.
struct ChildReport {
    bool ended = false; // by itself, within its time
    QByteArray text; // what it wrote to its pipe
    long maxRssKiB = 0; // its peak resident memory
};

// Runs `work` in a child process that gets at most `seconds`.
ChildReport runInChild(const std::function<std::string()> &work, int seconds)
{
    ChildReport report;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return report;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        ::alarm(unsigned(seconds));
        const std::string text = work();
        (void)!::write(pipeFds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        report.text.append(buffer, int(n));
    ::close(pipeFds[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    report.ended = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    report.maxRssKiB = usage.ru_maxrss;
    return report;
}

} // namespace

class tst_Reliability : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void killedMidWrite_data();
    void killedMidWrite();
    void twoWritersAtOnce();
    void anEditorSavesMeanwhile_data();
    void anEditorSavesMeanwhile();
    void strangeFiles_data();
    void strangeFiles();

private:
    QString m_setupIni; // beside this executable, as the window uses it
};

void tst_Reliability::init()
{
    m_setupIni = QDir(QCoreApplication::applicationDirPath()).filePath("Setup.ini");
    cleanup();
}

void tst_Reliability::cleanup()
{
    const QDir dir(QCoreApplication::applicationDirPath());
    QFile::remove(m_setupIni); // also a link, a FIFO
    dir.rmdir("Setup.ini");
    QFile::remove(dir.filePath("Tavorin-settings.ini"));
    for (const QString &name : leftovers(dir.path()))
        QFile::remove(dir.filePath(name));
}

void tst_Reliability::killedMidWrite_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::newRow("replaced by a rename") << false;
    // A hard link, which a rename would split, makes every save in place.
    QTest::newRow("changed in place, behind a record") << true;
}

void tst_Reliability::killedMidWrite()
{
    // A writer applies the five settings in a loop and is killed with
    // SIGKILL at a random moment, again and again. After every kill, and the
    // next save (which completes a change made in place that was cut short),
    // the file holds every line it held, and each key its old or a new
    // value. Replaced by a rename, it is whole even before that save.
    QFETCH(bool, inPlace);
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    setFileBytes(path, HandEdited);
    // In place: as root, the file of user 4242 is saved by members of its
    // group, 4545 killed and 4646 completing after it; otherwise a hard
    // link, which a rename would split, makes every save in place.
    std::optional<User> writer, recoverer;
    if (inPlace && isRoot()) {
        writer = User{4545, 4545, {4343}};
        recoverer = User{4646, 4646, {4343}};
        for (const QString &name : {dir.path(), path})
            QCOMPARE(::chown(sp(name).c_str(), 4242, 4343), 0);
        QCOMPARE(::chmod(sp(dir.path()).c_str(), 0775), 0);
        QCOMPARE(::chmod(sp(path).c_str(), 0664), 0);
    } else if (inPlace) {
        QCOMPARE(::link(sp(path).c_str(), sp(dir.filePath("Tavorin.ini")).c_str()), 0);
    }
    const QRegularExpression intact = handEditedWith({"10", "11"}, true);

    // Kills fall at random within the time a writer takes to start and
    // apply five times: before, between and in the middle of writes.
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(finish(startApplyLoop(path, 1, 5, writer), 30), 0);
    const int spanUs = int(clock.nsecsElapsed() / 1000);
    setFileBytes(path, HandEdited);

    const int trials = 1000;
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delayUs(0, spanUs);
    int torn = 0, damaged = 0, interrupted = 0, changed = 0;
    QByteArray before = HandEdited, firstDamage;
    for (int trial = 0; trial < trials; ++trial) {
        const pid_t pid = startApplyLoop(path, 1, 0, writer);
        QVERIFY(pid > 0);
        ::usleep(useconds_t(delayUs(random)));
        ::kill(pid, SIGKILL);
        int status = 0;
        QCOMPARE(::waitpid(pid, &status, 0), pid);

        const QByteArray killed = fileBytes(path);
        torn += !intact.match(QString::fromLatin1(killed)).hasMatch();
        interrupted
            += !leftovers(dir.path()).isEmpty() || killed.contains("\n[tavorin-configurator unfinished save]\n");
        // The next save, which changes nothing here.
        const auto recover = [&] { return profilefile::writeString(sp(path), "Sound", "Volume", "7"); };
        const std::string error = recoverer ? writeInChild(recover, recoverer) : recover().value_or("");
        QVERIFY2(error.empty(), error.c_str());
        const QByteArray after = fileBytes(path);
        if (!intact.match(QString::fromLatin1(after)).hasMatch()) {
            if (damaged++ == 0)
                firstDamage = after;
        }
        changed += after != before;
        before = after;
    }
    qInfo("killed mid-write, %s: %d kills within %d us of the start (seed %u); %d changed the file, %d left a write "
          "unfinished; %d torn until the next save; %d damaged files",
          QTest::currentDataTag(), trials, spanUs, seed, changed, interrupted, torn, damaged);
    QVERIFY2(damaged == 0, firstDamage.constData());
    if (!inPlace)
        QCOMPARE(torn, 0);
    QVERIFY(changed > trials / 10); // the kills did land among the writes
    // and some in the middle of one, where it leaves a trace: a new file
    // has none until it takes its name.
    if (inPlace)
        QVERIFY(interrupted > 0);

    // Nothing is left beside the file but what the user put there.
    QCOMPARE(leftovers(dir.path()), QStringList());
    QCOMPARE(finish(startApplyLoop(path, 1, 1, writer), 30), 0);
    QVERIFY(handEditedWith({"10"}, false).match(QString::fromLatin1(fileBytes(path))).hasMatch());
}

void tst_Reliability::twoWritersAtOnce()
{
    // Two processes apply their own values 1000 times each to one file while
    // this one reads it: no reader ever sees a damaged file, and in the end
    // each key holds a value one of them wrote.
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    setFileBytes(path, HandEdited);
    const QRegularExpression intact = handEditedWith({"10", "11", "20", "21"}, true);

    const int applies = 1000;
    const pid_t writers[] = {startApplyLoop(path, 1, applies), startApplyLoop(path, 2, applies)};
    QVERIFY(writers[0] > 0 && writers[1] > 0);
    int reads = 0, badReads = 0, ended = 0;
    int statuses[2] = {-1, -1};
    QElapsedTimer clock;
    clock.start();
    while (ended < 2 && !clock.hasExpired(180000)) {
        const QByteArray seen = fileBytes(path);
        ++reads;
        badReads += !intact.match(QString::fromLatin1(seen)).hasMatch();
        for (int w = 0; w < 2; ++w) {
            int status = 0;
            if (statuses[w] == -1 && ::waitpid(writers[w], &status, WNOHANG) == writers[w]) {
                statuses[w] = WIFEXITED(status) ? WEXITSTATUS(status) : 99;
                ++ended;
            }
        }
    }
    for (int w = 0; w < 2; ++w) {
        if (statuses[w] == -1)
            statuses[w] = finish(writers[w], 0);
    }
    const QByteArray last = fileBytes(path);
    const bool finalIntact
        = handEditedWith({"10", "11", "20", "21"}, false).match(QString::fromLatin1(last)).hasMatch();
    qInfo("two writers: 2 x %d applies (%d writes) in %lld ms, %d reads meanwhile, %d damaged reads; final file %s",
          applies, 2 * applies * int(Keys.size()), clock.elapsed(), reads, badReads,
          finalIntact ? "intact" : "DAMAGED");
    QCOMPARE(statuses[0], 0);
    QCOMPARE(statuses[1], 0);
    QCOMPARE(badReads, 0);
    QVERIFY2(finalIntact, last.constData());
    QCOMPARE(entries(dir.path()), QStringList{"Setup.ini"});
}

void tst_Reliability::anEditorSavesMeanwhile_data()
{
    QTest::addColumn<bool>("inPlace"); // the editor empties the file, then writes it; or renames a new one over it
    QTest::newRow("an editor that saves in place") << true;
    QTest::newRow("an editor that renames") << false;
}

void tst_Reliability::anEditorSavesMeanwhile()
{
    // An editor that takes no lock adds a line 300 times while Apply saves
    // again and again. Apply notices the editor's saves that come before its
    // own new file is on the disk; the rest can be lost, and each one lost is
    // counted. A file found empty is given time to be written, so that an
    // editor's whole content is not replaced by an edit of nothing.
    QFETCH(bool, inPlace);
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    setFileBytes(path, "[Tavorin]\r\nUseCard=1\r\n[Editor]\r\n");
    const pid_t apply = startApplyLoop(path, 1, 0);
    QVERIFY(apply > 0);
    std::mt19937 random(1);
    const int saves = 300;
    for (int n = 0; n < saves; ++n) {
        const QByteArray content = fileBytes(path) + "E" + QByteArray::number(n) + "=1\r\n";
        QFile out(inPlace ? path : path + ".edit");
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(out.write(content), content.size());
        out.close();
        if (!inPlace)
            QCOMPARE(::rename(sp(path + ".edit").c_str(), sp(path).c_str()), 0);
        QTest::qSleep(int(random() % 5));
    }
    ::kill(apply, SIGKILL);
    finish(apply, 10);
    const QByteArray last = fileBytes(path);
    int lost = 0;
    for (int n = 0; n < saves; ++n)
        lost += !last.contains("\nE" + QByteArray::number(n) + "=1\r\n");
    qInfo("%s: %d of %d of its saves lost", QTest::currentDataTag(), lost, saves);
    QVERIFY(lost < saves / 5); // where Apply read the emptied file, nearly all were lost
}

void tst_Reliability::strangeFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("card"); // what loading reads for UseCard
    QTest::addColumn<bool>("writable"); // whether Apply can save there

    QTest::newRow("a FIFO") << "fifo" << 1 << false;
    QTest::newRow("a link to /dev/zero") << "zero" << 1 << false;
    QTest::newRow("a dangling link") << "dangling" << 1 << true;
    QTest::newRow("1 TiB, sparse") << "huge" << 1 << false;
    QTest::newRow("1 MiB of NUL bytes") << "nul" << 4 << true;
    QTest::newRow("invalid UTF-8") << "utf8" << 2 << true;
    QTest::newRow("one line of 10 MiB") << "line" << 1 << true;
}

void tst_Reliability::strangeFiles()
{
    // Loading never hangs and reads the defaults or what it finds, in bounded
    // time and memory; the window opens; Apply saves correctly or says why;
    // nothing is left half-written.
    QFETCH(QString, kind);
    QFETCH(int, card);
    QFETCH(bool, writable);

    const QString dir = QCoreApplication::applicationDirPath();
    const auto make = [&] {
        cleanup();
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(sp(m_setupIni).c_str(), 0644), 0);
        } else if (kind == "zero") {
            QVERIFY(QFile::link("/dev/zero", m_setupIni));
        } else if (kind == "dangling") {
            QVERIFY(QFile::link("Tavorin-settings.ini", m_setupIni));
            QFile::remove(QDir(dir).filePath("Tavorin-settings.ini"));
        } else if (kind == "huge") {
            setFileBytes(m_setupIni, "[Tavorin]\r\nUseCard=3\r\n");
            QVERIFY(QFile::resize(m_setupIni, qint64(1) << 40));
        } else if (kind == "nul") {
            setFileBytes(m_setupIni, QByteArray(1 << 20, '\0') + "\r\n[Tavorin]\r\nUseCard=4\r\n");
        } else if (kind == "utf8") {
            setFileBytes(m_setupIni,
                         "[Tavorin]\r\nUseCard=2\xff\xfe\r\n\xc3\x28=\xa0\xa1\r\nShowHelp=\xed\xa0\x80\r\n");
        } else if (kind == "line") {
            setFileBytes(m_setupIni, QByteArray(10 << 20, 'x'));
        }
    };
    const auto fileSize = [&] { return QFileInfo(m_setupIni).isFile() ? QFileInfo(m_setupIni).size() : 0; };

    // The profile operations, in a child that has 60 seconds and whose
    // memory is measured: the five reads of loading, then the five writes.
    make();
    const qint64 size = fileSize();
    const bool readable = QFileInfo(m_setupIni).isFile() && size <= qint64(durablefile::MaxSize);
    const QByteArray original = readable ? fileBytes(m_setupIni) : QByteArray();
    const ChildReport idle = runInChild([] { return std::string(); }, 60);
    const ChildReport work = runInChild(
        [&] {
            QElapsedTimer clock;
            clock.start();
            std::string text;
            for (const QString &key : Keys)
                text += std::to_string(profilefile::readInt(sp(m_setupIni), "Tavorin", key.toStdString(), 1)) + " ";
            text += "| " + std::to_string(clock.elapsed()) + " ms | ";
            int failures = 0;
            std::string firstError;
            for (const QString &key : Keys) {
                if (const auto error = profilefile::writeString(sp(m_setupIni), "Tavorin", key.toStdString(), "5")) {
                    if (failures++ == 0)
                        firstError = *error;
                }
            }
            return text + std::to_string(clock.elapsed()) + " ms | " + std::to_string(failures) + " | " + firstError;
        },
        60);
    const QStringList parts = QString::fromLocal8Bit(work.text).split(" | ");
    const long grownKiB = work.maxRssKiB - idle.maxRssKiB;
    qInfo("%s (%lld bytes): reads %s, then writes %s; memory +%ld KiB; %s", qPrintable(kind), size,
          qPrintable(parts.value(1)), qPrintable(parts.value(2)), grownKiB, qPrintable(parts.value(4)));
    QVERIFY2(work.ended, "the child hung or died");
    QCOMPARE(parts.value(0).split(' ').value(0).toInt(), card);
    // Memory in proportion to the file, never more.
    if (MemoryMeasured)
        QVERIFY2(grownKiB <= 3 * size / 1024 + 16 * 1024, qPrintable(QString::number(grownKiB)));
    QCOMPARE(parts.value(3).toInt(), writable ? 0 : 5);
    if (writable) {
        const QByteArray saved = fileBytes(m_setupIni);
        for (const QString &key : Keys)
            QCOMPARE(profilefile::readInt(sp(m_setupIni), "Tavorin", key.toStdString(), -1), 5);
        // Every byte before the section is kept.
        const qsizetype section = original.indexOf("[Tavorin]");
        const QByteArray kept = section < 0 ? original : original.left(section);
        QVERIFY(saved.startsWith(kept));
    } else {
        QVERIFY2(parts.value(4).contains(m_setupIni), qPrintable(parts.value(4)));
    }
    QCOMPARE(leftovers(dir), QStringList());

    // The window opens on it, shows what it found, and Apply either saves
    // or says why.
    make();
    MessageBoxWatcher watcher;
    QElapsedTimer clock;
    clock.start();
    frmMain window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const qint64 openMs = clock.elapsed();
    QCOMPARE(window.findChild<QComboBox *>("combographiccard")->currentText(), QString::number(card));
    clock.restart();
    QTest::mouseClick(window.findChild<QPushButton *>("Command3"), Qt::LeftButton);
    qInfo("%s: the window opened in %lld ms; Apply took %lld ms", qPrintable(kind), openMs, clock.elapsed());
    if (writable) {
        QCOMPARE(watcher.texts, QStringList());
        QCOMPARE(profilefile::readInt(sp(m_setupIni), "Tavorin", "UseCard", -1), card);
    } else {
        // A file too large to read is named with its size when the window opens.
        const int onLoad = kind == "huge" ? 1 : 0;
        QTRY_COMPARE_WITH_TIMEOUT(watcher.texts.size(), onLoad + 1, 5000);
        if (onLoad)
            QVERIFY2(watcher.texts[0].contains(m_setupIni + " cannot be used: it is 1099511627776 bytes long"),
                     qPrintable(watcher.texts[0]));
        QVERIFY2(watcher.texts.last().contains(m_setupIni), qPrintable(watcher.texts.last()));
    }
    QCOMPARE(leftovers(dir), QStringList());
}

int main(int argc, char *argv[])
{
    Application app(argc, argv);
    tst_Reliability test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_reliability.moc"
