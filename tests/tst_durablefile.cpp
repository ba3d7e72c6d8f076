// The durable file layer on its own, saving with the simplest plans (the
// content replaced, a line appended), so that what a test sees is the
// layer's doing: what a save keeps (owner, mode, ACL, links), its lock and
// its bounded waits, its record and what it trusts, the walk of the path
// and its links, strange files, read-only files and folders, two writers,
// a full disk.

#include "childprocess.h"
#include "filebytes.h"
#include "settings/durablefile.h"
#include "settings/profile.h"
#include "settings/profilefile.h"
#include "settings/saverecord.h"
#include "base/descriptor.h"
#include "syscalls.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Saves `text` as the file's whole content.
std::optional<std::string> replace(const std::string &path, const std::string &text)
{
    return durablefile::update(path, [&text](std::string_view content) -> content::Plan {
        return content::Edit{0, content.size(), text};
    });
}

// Adds `line` at the end of the file.
std::optional<std::string> append(const std::string &path, const std::string &line)
{
    return durablefile::update(path, [&line](std::string_view content) -> content::Plan {
        return content::Edit{content.size(), content.size(), line};
    });
}

// Sets K's value to `value` (creating "[A]\r\nK=<value>\r\n" where the
// file is missing), as the profile layer plans such a save.
std::optional<std::string> changeK(const std::string &path, const std::string &value = "22")
{
    return durablefile::update(path, [&value](std::string_view content) -> content::Plan {
        if (content.empty())
            return content::Edit{0, 0, "[A]\r\nK=" + value + "\r\n"};
        const size_t at = content.find("K=") + 2;
        return content::Edit{at, content.find('\r', at), value};
    });
}

// The file's content as the layer reads it; "(not read)" where it is not.
std::string readBack(const std::string &path)
{
    std::string read = "(not read)";
    durablefile::read(path, [&read](std::string_view content) { read = content; });
    return read;
}

// All that a file has besides its content, as ls and getfacl would show it.
struct Metadata {
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    nlink_t links = 0;
    std::string acl, note; // its access ACL and its attribute user.note, raw

    explicit Metadata(const QString &path)
    {
        struct stat st {};
        ::stat(sp(path).c_str(), &st);
        uid = st.st_uid;
        gid = st.st_gid;
        mode = st.st_mode & 07777;
        links = st.st_nlink;
        for (auto [name, value] : {std::pair{"system.posix_acl_access", &acl}, std::pair{"user.note", &note}}) {
            char buffer[256];
            const ssize_t n = ::getxattr(sp(path).c_str(), name, buffer, sizeof buffer);
            *value = n > 0 ? std::string(buffer, size_t(n)) : std::string();
        }
    }
    bool operator==(const Metadata &other) const
    {
        return uid == other.uid && gid == other.gid && mode == other.mode && links == other.links && acl == other.acl
            && note == other.note;
    }
    QByteArray toString() const
    {
        return QString("owner %1, group %2, mode %3, %4 links, ACL of %5 bytes, user.note \"%6\"")
            .arg(uid)
            .arg(gid)
            .arg(mode, 4, 8, QChar('0'))
            .arg(links)
            .arg(acl.size())
            .arg(QString::fromStdString(note))
            .toUtf8();
    }
};

// An access ACL that also gives `user` the permissions `perm` (read and
// write unless told): the mode's user, group and other bits, a named user,
// and a mask that lets that user have them.
std::string aclWithUser(mode_t mode, uint32_t user = 4444, uint16_t perm = 6)
{
    std::string acl("\x02\0\0\0", 4);
    const auto entry = [&acl](uint16_t tag, uint16_t perm, uint32_t id) {
        for (int i = 0; i < 2; ++i)
            acl += char((tag >> (8 * i)) & 0xFF);
        for (int i = 0; i < 2; ++i)
            acl += char((perm >> (8 * i)) & 0xFF);
        for (int i = 0; i < 4; ++i)
            acl += char((id >> (8 * i)) & 0xFF);
    };
    entry(0x01, (mode >> 6) & 7, ~0u); // the owner
    entry(0x02, perm, user); // the named user
    entry(0x04, (mode >> 3) & 7, ~0u); // the owning group
    entry(0x10, perm, ~0u); // the mask
    entry(0x20, mode & 7, ~0u); // others
    return acl;
}

// How a child process holds the file: a flock (of its folder too), an
// OFD lock, or a write lease.
enum Holder { Flock, ReadLock, WriteLock, Lease };

// Starts a child that holds the file at `path` as `kind` says, for a minute
// or until release(); its pid, and whether it holds the file.
std::pair<pid_t, bool> hold(const QString &path, Holder kind)
{
    int ready[2];
    if (::pipe(ready) != 0)
        return {-1, false};
    const pid_t holder = ::fork();
    if (holder == 0) {
        std::signal(SIGIO, SIG_IGN); // how the kernel asks for a lease back
        const int folder = ::open(sp(QFileInfo(path).path()).c_str(), O_RDONLY | O_DIRECTORY);
        const int file = ::open(sp(path).c_str(), kind == WriteLock ? O_RDWR : O_RDONLY);
        struct flock request {};
        request.l_type = kind == WriteLock ? F_WRLCK : F_RDLCK;
        const bool held = kind == Flock ? ::flock(folder, LOCK_EX) == 0 && ::flock(file, LOCK_EX) == 0
                        : kind == Lease ? ::fcntl(file, F_SETLEASE, F_WRLCK) == 0
                                        : ::fcntl(file, F_OFD_SETLK, &request) == 0;
        (void)!::write(ready[1], held ? "y" : "n", 1);
        ::sleep(60);
        ::_exit(0);
    }
    char held = 0;
    (void)!::read(ready[0], &held, 1);
    ::close(ready[0]);
    ::close(ready[1]);
    return {holder, held == 'y'};
}

void release(pid_t holder)
{
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
}

} // namespace

class tst_durablefile : public QObject {
    Q_OBJECT

private slots:
    void keepsModeOwnerAndLinks();
    void keepsWhoMayReadAndWrite_data();
    void keepsWhoMayReadAndWrite();
    void rootsNewFileBelongsToTheFolderOwner();
    void lockIsForWritersAndBounded();
    void redoesTheEditAfterAnEditorSaved_data();
    void redoesTheEditAfterAnEditorSaved();
    void linksAsTheKernelFollowsThem();
    void aSwapDuringASaveChangesNothing();
    void noWaitOutlastsTheDeadline_data();
    void noWaitOutlastsTheDeadline();
    void linksOfOthersAreNotFollowed_data();
    void linksOfOthersAreNotFollowed();
    void completesAnUnfinishedSave_data();
    void completesAnUnfinishedSave();
    void stepsOfASave_data();
    void stepsOfASave();
    void everyStepCutShort_data();
    void everyStepCutShort();
    void aPowerCutLeavesOldOrNew_data();
    void aPowerCutLeavesOldOrNew();
    void sizeLimit_data();
    void sizeLimit();
    void newFileFollowsUmask();
    void readOnlyFileIsNotReplaced();
    void readOnlyOrMissingFolder();
    void concurrentWritersLoseNothing_data();
    void concurrentWritersLoseNothing();
    void nothingBesideIsTrusted_data();
    void nothingBesideIsTrusted();
    void failedWriteLeavesFileIntact();
};

void tst_durablefile::keepsModeOwnerAndLinks()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("real"));
    const QString target = dir.filePath("real/Setup.ini");
    setFileBytes(target, "[Tavorin]\r\nUseCard=1\r\n");
    QCOMPARE(::chmod(sp(target).c_str(), 0640), 0);
    if (::geteuid() == 0)
        QCOMPARE(::chown(sp(target).c_str(), 65534, 65534), 0);

    // A link to a link, the second one relative.
    const QString link = dir.filePath("Setup.ini");
    const QString hop = dir.filePath("hop.ini");
    QCOMPARE(::symlink("real/Setup.ini", sp(hop).c_str()), 0);
    QCOMPARE(::symlink(sp(hop).c_str(), sp(link).c_str()), 0);

    QVERIFY(!replace(sp(link), "[Tavorin]\r\nUseCard=4\r\n"));

    QVERIFY(QFileInfo(link).isSymLink());
    QVERIFY(QFileInfo(hop).isSymLink());
    QCOMPARE(fileText(target), std::string("[Tavorin]\r\nUseCard=4\r\n"));
    struct stat st {};
    QCOMPARE(::stat(sp(target).c_str(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));
    if (::geteuid() == 0) {
        QCOMPARE(st.st_uid, uid_t(65534));
        QCOMPARE(st.st_gid, gid_t(65534));
    }

    // A dangling link: the file it names is created.
    const QString dangling = dir.filePath("dangling.ini");
    QCOMPARE(::symlink("real/new.ini", sp(dangling).c_str()), 0);
    QVERIFY(!replace(sp(dangling), "[Tavorin]\r\nUseCard=2\r\n"));
    QVERIFY(QFileInfo(dangling).isSymLink());
    QCOMPARE(fileText(dir.filePath("real/new.ini")), std::string("[Tavorin]\r\nUseCard=2\r\n"));
}

void tst_durablefile::keepsWhoMayReadAndWrite_data()
{
    QTest::addColumn<QString>("saver"); // "owner", "group member" or "root"
    QTest::addColumn<bool>("hardLinked");

    QTest::newRow("the owner saves") << "owner" << false;
    QTest::newRow("the owner saves a hard-linked file") << "owner" << true;
    QTest::newRow("the owner saves a file of another of its groups") << "owner of another group" << false;
    QTest::newRow("a group member saves") << "group member" << false;
    QTest::newRow("root saves a user's file") << "root" << false;
}

void tst_durablefile::keepsWhoMayReadAndWrite()
{
    // A save changes the content and nothing else: not the owner, the
    // group, the mode, the ACL, an extended attribute or the hard links.
    QFETCH(QString, saver);
    QFETCH(bool, hardLinked);
    if (saver != "owner" && !isRoot())
        QSKIP("Saving another user's file needs a second user, which only root can be here.");

    // As root the file belongs to user 4242 of group 4343, in a folder of
    // theirs that the group may write; the group member is user 4545.
    const User owner = !isRoot()                         ? User{::geteuid(), ::getegid()}
                     : saver == "owner of another group" ? User{4242, 4242, {4343}}
                                                         : User{4242, 4343};
    const User groupMember{4545, 4545, {4343}};
    SharedDir shared;
    const QString path = shared.file("Setup.ini");
    setFileBytes(path, "[Tavorin]\r\nUseCard=1\r\n");
    QCOMPARE(::chmod(sp(path).c_str(), 0664), 0);
    if (isRoot()) {
        QCOMPARE(::chown(sp(shared.dir.path()).c_str(), owner.uid, 4343), 0);
        QCOMPARE(::chmod(sp(shared.dir.path()).c_str(), 0775), 0);
        QCOMPARE(::chown(sp(path).c_str(), owner.uid, 4343), 0);
    }
    if (hardLinked)
        QCOMPARE(::link(sp(path).c_str(), sp(shared.file("Tavorin.ini")).c_str()), 0);
    const std::string acl = aclWithUser(0664);
    if (::setxattr(sp(path).c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0
        || ::setxattr(sp(path).c_str(), "user.note", "kept", 4, 0) != 0)
        QSKIP(qPrintable("This filesystem keeps no ACL or attribute: " + QString::fromLocal8Bit(std::strerror(errno))));
    const Metadata before(path);

    const std::optional<User> as = saver.startsWith("owner") ? owner
                                 : saver == "group member"   ? groupMember
                                                             : std::optional<User>();
    const std::string error = writeInChild([&] { return replace(sp(path), "[Tavorin]\r\nUseCard=3\r\n"); }, as);
    QCOMPARE(error, std::string());

    const Metadata after(path);
    qInfo("%s: before %s; after %s", QTest::currentDataTag(), before.toString().constData(),
          after.toString().constData());
    QVERIFY(after == before);
    QCOMPARE(fileText(path), std::string("[Tavorin]\r\nUseCard=3\r\n"));
    if (hardLinked)
        QCOMPARE(fileText(shared.file("Tavorin.ini")), std::string("[Tavorin]\r\nUseCard=3\r\n"));
    QCOMPARE(QDir(shared.dir.path()).entryList(QDir::Files | QDir::Hidden).size(), hardLinked ? 2 : 1);
}

void tst_durablefile::rootsNewFileBelongsToTheFolderOwner()
{
    if (!isRoot())
        QSKIP("Only root can create a file for another user.");
    SharedDir shared;
    QCOMPARE(::chown(sp(shared.dir.path()).c_str(), 4242, 4343), 0);
    const QString path = shared.file("Setup.ini");
    QVERIFY(!replace(sp(path), "[Tavorin]\r\nUseCard=1\r\n"));
    const Metadata made(path);
    QCOMPARE(made.uid, uid_t(4242));
    QCOMPARE(made.gid, gid_t(4343));
    // So that user can go on saving it.
    QCOMPARE(writeInChild([&] { return replace(sp(path), "[Tavorin]\r\nUseCard=2\r\n"); }, User{4242, 4343}),
             std::string());

    // That user turns a link, again and again, from a file that does not
    // exist to a file of root's in the same folder: root never gives away a
    // file it did not just create.
    const QString rootsFile = shared.file("secret");
    setFileBytes(rootsFile, "root's\n");
    QCOMPARE(::chmod(sp(rootsFile).c_str(), 0600), 0);
    const QString link = shared.file("Other.ini");
    const pid_t flipper = ::fork();
    if (flipper == 0) {
        if (::setgid(4343) != 0 || ::setuid(4242) != 0)
            ::_exit(2);
        for (unsigned n = 0;; ++n) {
            const std::string next = sp(shared.file(".next")),
                              target = n % 2 ? sp(rootsFile) : "missing" + std::to_string(n);
            if (::symlink(target.c_str(), next.c_str()) != 0 || ::rename(next.c_str(), sp(link).c_str()) != 0)
                ::_exit(1);
        }
    }
    for (int n = 0; n < 400; ++n)
        (void)replace(sp(link), "[Tavorin]\r\nUseCard=1\r\n");
    ::kill(flipper, SIGKILL);
    ::waitpid(flipper, nullptr, 0);
    const Metadata roots(rootsFile);
    QCOMPARE(roots.uid, uid_t(0));
    QCOMPARE(roots.mode, mode_t(0600));
}

void tst_durablefile::lockIsForWritersAndBounded()
{
    // A reader who locks the folder or the file with flock holds no writer
    // up. Any lock of the file's own kind does, a reader's read lock too: the
    // next writer waits a bounded time, then gives up with a message that
    // says so; and a series of writes that share one wait (Apply's five)
    // waits that time once, not once each.
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    setFileBytes(path, "[A]\r\nK=1\r\n");
    for (const Holder kind : {Flock, ReadLock, WriteLock}) {
        const auto [holder, held] = hold(path, kind);
        QElapsedTimer clock;
        clock.start();
        const auto error = replace(sp(path), kind == Flock      ? "saved"
                                             : kind == ReadLock ? "saved past a reader"
                                                                : "not saved");
        const qint64 waited = clock.elapsed();
        // Five writes sharing one wait.
        clock.restart();
        const bool began = durablefile::beginSharedWait();
        int failed = 0;
        std::set<std::string> reasons;
        for (int n = 0; n < 5; ++n) {
            const auto why = append(sp(path), std::to_string(n));
            failed += bool(why);
            reasons.insert(why.value_or("saved"));
        }
        durablefile::endSharedWait();
        const qint64 waitedForFive = clock.elapsed();
        release(holder);
        QVERIFY(held && began);
        const char *name[] = {"reader's flock", "reader's read lock", "writer's lock"};
        qInfo("with a %s held, one write took %lld ms (%s); five writes sharing one wait took %lld ms", name[kind],
              waited, error ? error->c_str() : "saved", waitedForFive);
        if (kind != WriteLock) {
            // A reader's lock holds a save by rename up to the deadline only:
            // readers keep what they opened.
            QVERIFY2(!error, error ? error->c_str() : "");
            QCOMPARE(failed, 0);
        } else {
            QVERIFY(error);
            QVERIFY2(error->find("another program holds a lock on it") != std::string::npos, error->c_str());
            QCOMPARE(failed, 5);
            QCOMPARE(reasons, std::set<std::string>{*error}); // the one true reason, five times
        }
        if (kind != Flock) {
            QVERIFY(waited < 20000); // not for as long as the holder holds on
            QVERIFY(waitedForFive < 2 * waited); // once, where five waits would take five times as long
        }
    }
    QCOMPARE(fileText(path), std::string("saved past a reader01234"));

    // A file that only a change in place can save (it has a second link)
    // is never written without the lock: past a reader's lock, it fails,
    // and says why.
    QCOMPARE(::link(sp(path).c_str(), sp(dir.filePath("second link")).c_str()), 0);
    const auto [holder, held] = hold(path, ReadLock);
    const auto error = replace(sp(path), "changed in place past a reader");
    release(holder);
    QVERIFY(held);
    QVERIFY2(error, fileText(path).c_str());
    QVERIFY2(error->find("a program that reads it holds a lock on it") != std::string::npos, error->c_str());
    QCOMPARE(fileText(path), std::string("saved past a reader01234"));

    // Two saves past the same reader's lock, both at the deadline, each
    // pausing just before its rename: both are done, and both are kept.
    QCOMPARE(::unlink(sp(dir.filePath("second link")).c_str()), 0);
    for (int trial = 0; trial < 3; ++trial) {
        const auto [reader, readerHeld] = hold(path, ReadLock);
        pid_t writers[2];
        for (int w = 0; w < 2; ++w) {
            writers[w] = ::fork();
            if (writers[w] == 0) {
                syscalls::pauseAt = "renameat";
                syscalls::pauseMs = 300;
                syscalls::start();
                ::_exit(append(sp(path), "W" + std::to_string(3 * trial + w)) ? 1 : 0);
            }
        }
        int done = 0;
        for (const pid_t pid : writers) {
            int status = 0;
            done += ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        release(reader);
        const QString content = QString::fromStdString(fileText(path));
        qInfo("two saves past a reader, trial %d: %d done, the file %s", trial, done, qPrintable(content));
        QVERIFY(readerHeld);
        QCOMPARE(done, 2);
        for (int w = 0; w < 2; ++w)
            QVERIFY(content.contains("W" + QString::number(3 * trial + w)));
    }

    // The writer that holds the lock renames K=5 over the file while this
    // one waits to set K=1, which the file it read holds already: this one
    // looks again once it has the lock, and saves K=1 on the new file.
    setFileBytes(path, "[A]\r\nK=1\r\n");
    const auto [renamer, renamerHeld] = hold(path, WriteLock);
    const pid_t replacer = ::fork();
    if (replacer == 0) {
        ::usleep(300000);
        setFileBytes(dir.filePath("new"), "[A]\r\nK=5\r\n");
        ::_exit(::rename(sp(dir.filePath("new")).c_str(), sp(path).c_str()) == 0 && ::kill(renamer, SIGKILL) == 0 ? 0
                                                                                                                  : 1);
    }
    const auto afterRename = changeK(sp(path), "1");
    release(replacer);
    release(renamer);
    QVERIFY(renamerHeld && !afterRename);
    QCOMPARE(fileText(path), std::string("[A]\r\nK=1\r\n"));
}

void tst_durablefile::redoesTheEditAfterAnEditorSaved_data()
{
    QTest::addColumn<bool>("hardLinked"); // so that the change is made in place
    QTest::addColumn<bool>("editorRenames");
    QTest::newRow("an editor renames its copy over the file") << false << true;
    QTest::newRow("an editor writes in place, into a hard-linked file") << true << false;
}

void tst_durablefile::redoesTheEditAfterAnEditorSaved()
{
    // An editor saves the file, without taking the lock, after the writer
    // read it: the writer notices, reads it again and edits that.
    QFETCH(bool, hardLinked);
    QFETCH(bool, editorRenames);
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    setFileBytes(path, "[A]\r\nK=1\r\n");
    if (hardLinked)
        QCOMPARE(::link(sp(path).c_str(), sp(dir.filePath("other.ini")).c_str()), 0);
    int plans = 0;
    const auto error = durablefile::update(sp(path), [&](std::string_view content) {
        if (plans++ == 0) {
            const QString copy = editorRenames ? dir.filePath("editor.tmp") : path;
            setFileBytes(copy, "; the editor's\r\n[A]\r\nK=1\r\nJ=5\r\n");
            if (editorRenames)
                QFile::rename(copy, path) || QFile::remove(path) && QFile::rename(copy, path);
        }
        return content::Edit{content.size(), content.size(), "K=2\r\n"};
    });
    QVERIFY(!error);
    QCOMPARE(plans, 2);
    QCOMPARE(fileText(path), std::string("; the editor's\r\n[A]\r\nK=1\r\nJ=5\r\nK=2\r\n"));
}

void tst_durablefile::linksAsTheKernelFollowsThem()
{
    // The kernel resolves Setup.ini, links and all: a chain it follows can
    // be read and written, a longer one neither.
    QTemporaryDir dir;
    setFileBytes(dir.filePath("real.ini"), "[A]\r\nK=1\r\n");
    QString previous = "real.ini";
    for (int n = 1; n <= 41; ++n) {
        const QString name = QString("link%1").arg(n);
        QCOMPARE(::symlink(sp(previous).c_str(), sp(dir.filePath(name)).c_str()), 0);
        previous = name;
    }
    for (const int links : {40, 41}) {
        const std::string chain = sp(dir.filePath(QString("link%1").arg(links)));
        const int fd = ::open(chain.c_str(), O_RDONLY);
        const bool follows = fd >= 0;
        if (fd >= 0)
            ::close(fd);
        const auto error = replace(chain, std::to_string(links));
        const std::string read = readBack(chain);
        qInfo("a chain of %d links: the kernel %s it; read %s, write %s", links, follows ? "follows" : "refuses",
              read.c_str(), error ? error->c_str() : "saved");
        QCOMPARE(!error, follows);
        QCOMPARE(read, follows ? std::to_string(links) : "(not read)");
    }
}

void tst_durablefile::aSwapDuringASaveChangesNothing()
{
    // While a save plans its edit, a folder on the way is swapped for a link
    // to another folder, with a Setup.ini of its own. The save goes on with
    // the file it walked to, by rename or in place, and leaves the other be.
    for (const bool inPlace : {false, true}) {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("shared/d") && QDir(dir.path()).mkdir("other"));
        const QString file = dir.filePath("shared/d/Setup.ini"), other = dir.filePath("other/Setup.ini");
        setFileBytes(file, "[A]\r\nK=1\r\n");
        setFileBytes(other, "[A]\r\nK=other's\r\n");
        if (inPlace)
            QCOMPARE(::link(sp(file).c_str(), sp(dir.filePath("shared/d/Tavorin.ini")).c_str()), 0);
        int plans = 0;
        const auto error = durablefile::update(sp(file), [&](std::string_view content) {
            if (plans++ == 0
                && (::rename(sp(dir.filePath("shared/d")).c_str(), sp(dir.filePath("shared/moved")).c_str()) != 0
                    || ::symlink(sp(dir.filePath("other")).c_str(), sp(dir.filePath("shared/d")).c_str()) != 0))
                return content::Plan(std::string("the swap failed"));
            return content::Plan(content::Edit{content.size(), content.size(), "L=2\r\n"});
        });
        QVERIFY2(!error, error->c_str());
        QCOMPARE(plans, 1);
        QCOMPARE(fileText(dir.filePath("shared/moved/Setup.ini")), std::string("[A]\r\nK=1\r\nL=2\r\n"));
        QCOMPARE(fileText(other), std::string("[A]\r\nK=other's\r\n"));
    }
}

void tst_durablefile::noWaitOutlastsTheDeadline_data()
{
    QTest::addColumn<int>("holder");
    QTest::addColumn<bool>("signalBlocked"); // the lock timer's signal blocked and ignored at start
    QTest::addColumn<QString>("refusal"); // what the read and the save say
    QTest::addColumn<int>("refusals");
    QTest::newRow("a write lease, never let go") << int(Lease) << false << "under a lease" << 2;
    QTest::newRow("a writer's lock, the timer's signal blocked")
        << int(WriteLock) << true << "another program holds a lock on it" << 1;
}

void tst_durablefile::noWaitOutlastsTheDeadline()
{
    // Another program holds the file as long as it likes, and this one was
    // started as it likes: a read or a save is still refused at its
    // deadline, with the reason, and never hangs (the child's alarm).
    QFETCH(int, holder);
    QFETCH(bool, signalBlocked);
    QFETCH(QString, refusal);
    QFETCH(int, refusals);
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    setFileBytes(path, "[A]\r\nK=1\r\n");
    const auto [child, held] = hold(path, Holder(holder));
    QElapsedTimer clock;
    clock.start();
    const std::string said = writeInChild(
        [&] {
            ::alarm(20);
            sigset_t timer;
            ::sigemptyset(&timer);
            ::sigaddset(&timer, SIGRTMIN + 1);
            if (signalBlocked
                && (::sigprocmask(SIG_BLOCK, &timer, nullptr) != 0 || std::signal(SIGRTMIN + 1, SIG_IGN) == SIG_ERR))
                ::_exit(2);
            const auto read = durablefile::read(sp(path), [](std::string_view) {});
            const auto saved = changeK(sp(path));
            return std::optional(read.value_or("read") + "\n" + saved.value_or("saved"));
        },
        std::nullopt);
    release(child);
    qInfo("%s: answered in %lld ms: %s", QTest::currentDataTag(), clock.elapsed(), said.c_str());
    QVERIFY(held);
    QCOMPARE(int(QString::fromStdString(said).count(refusal)), refusals);
    QCOMPARE(fileText(path), std::string("[A]\r\nK=1\r\n"));
}

void tst_durablefile::linksOfOthersAreNotFollowed_data()
{
    // Setup.ini is a link that `maker` made, through a link that `hop` made
    // (-1: none), to a file of `owner` (-1: to none), in a folder that
    // others may write; `saver` saves through it. Each link on the way
    // counts: one of another user's is refused, naming its maker.
    QTest::addColumn<int>("maker");
    QTest::addColumn<int>("hop");
    QTest::addColumn<int>("owner");
    QTest::addColumn<int>("saver");
    QTest::addColumn<bool>("followed");
    const int attacker = 4242, victim = 4343, root = 0, none = -1;
    QTest::newRow("another user's, to the victim's file") << attacker << none << victim << victim << false;
    QTest::newRow("another user's, to no file") << attacker << none << none << victim << false;
    QTest::newRow("a user's, to no file, saved by root") << attacker << none << none << root << false;
    QTest::newRow("a user's, to root's file, saved by root") << attacker << none << root << root << false;
    QTest::newRow("a user's, to that user's file, saved by root") << attacker << none << attacker << root << false;
    QTest::newRow("the victim's own, to another's file") << victim << none << attacker << victim << true;
    QTest::newRow("the victim's own, to no file") << victim << none << none << victim << true;
    QTest::newRow("the victim's own, through root's") << victim << root << victim << victim << true;
    QTest::newRow("the victim's own, through another's, to the victim's file")
        << victim << attacker << victim << victim << false;
    QTest::newRow("root's own, through a user's, to root's file") << root << attacker << root << root << false;
}

void tst_durablefile::linksOfOthersAreNotFollowed()
{
    QFETCH(int, maker);
    QFETCH(int, hop);
    QFETCH(int, owner);
    QFETCH(int, saver);
    QFETCH(bool, followed);
    if (!isRoot())
        QSKIP("A link of another user needs a second user, which only root can be here.");
    QTemporaryDir dir;
    // The folder of the target, where its owner (or, for none, the saver)
    // may create files; and the shared folder of the links, not sticky,
    // where the kernel protects no link.
    const uid_t targetOwner = uid_t(owner >= 0 ? owner : saver);
    QCOMPARE(::chmod(sp(dir.path()).c_str(), 0755), 0);
    QVERIFY(QDir(dir.path()).mkdir("target") && QDir(dir.path()).mkdir("shared"));
    QCOMPARE(::chown(sp(dir.filePath("target")).c_str(), targetOwner, targetOwner), 0);
    QCOMPARE(::chmod(sp(dir.filePath("shared")).c_str(), 0777), 0);
    const QString target = dir.filePath("target/file"), link = dir.filePath("shared/Setup.ini");
    if (owner >= 0) {
        setFileBytes(target, "kept\n");
        QCOMPARE(::chown(sp(target).c_str(), uid_t(owner), gid_t(owner)), 0);
        QCOMPARE(::chmod(sp(target).c_str(), 0666), 0);
    }
    const QString via = hop >= 0 ? dir.filePath("shared/hop") : target;
    if (hop >= 0) {
        QCOMPARE(::symlink(sp(target).c_str(), sp(via).c_str()), 0);
        QCOMPARE(::lchown(sp(via).c_str(), uid_t(hop), gid_t(hop)), 0);
    }
    QCOMPARE(::symlink(sp(via).c_str(), sp(link).c_str()), 0);
    QCOMPARE(::lchown(sp(link).c_str(), uid_t(maker), gid_t(maker)), 0);

    const std::string error
        = writeInChild([&] { return replace(sp(link), "saved"); },
                       saver ? std::optional<User>(User{uid_t(saver), gid_t(saver)}) : std::nullopt);
    qInfo("%s: %s", QTest::currentDataTag(), error.empty() ? "saved" : error.c_str());
    if (followed) {
        QCOMPARE(error, std::string());
        QCOMPARE(fileText(target), std::string("saved"));
        return;
    }
    const std::string refused
        = sp(hop >= 0 ? via : link) + ", a symbolic link that user " + std::to_string(hop >= 0 ? hop : maker) + " made";
    QVERIFY2(error.find(refused) != std::string::npos, error.c_str());
    QCOMPARE(fileText(target), owner >= 0 ? std::string("kept\n") : std::string("<missing>"));
}

void tst_durablefile::completesAnUnfinishedSave_data()
{
    // A writer was changing "[A]\r\nK=1\r\nL=2\r\n" in place into
    // "[A]\r\nK=9\r\n" when it was stopped: before it changed a byte, or
    // halfway through the change, its record whole at the end of the file.
    // Then someone may have changed the file. The next save (which adds the
    // line "M=3") completes the change where the file is as that writer
    // could have left it, and otherwise removes only the record.
    QTest::addColumn<int>("stop"); // the call at which the writer stopped (3: the change)
    QTest::addColumn<QString>("meanwhile"); // what happened to the file then
    QTest::addColumn<QByteArray>("expected"); // after the next save; empty: as found, then M=3
    const QByteArray completed = "[A]\r\nK=9\r\nM=3\r\n", old = "[A]\r\nK=1\r\nL=2\r\nM=3\r\n";
    QTest::newRow("stopped before it changed the file") << -3 << "" << completed;
    QTest::newRow("stopped while it changed the file") << 3 << "" << completed;
    QTest::newRow("an editor changed a byte before the change")
        << -3 << "[A]>[B]" << QByteArray("[B]\r\nK=1\r\nL=2\r\nM=3\r\n");
    QTest::newRow("an editor changed a byte after it") << -3 << "L=2>L=5" << QByteArray("[A]\r\nK=1\r\nL=5\r\nM=3\r\n");
    // So no save reported done can be undone by an editor's change either.
    QTest::newRow("an editor shortened the file since") << -3 << "L=2\r\n>" << QByteArray("[A]\r\nK=1\r\nM=3\r\n");
    QTest::newRow("its record cut short") << -3 << "cut" << old;
    QTest::newRow("its record's checksum wrong") << -3 << ";o 31>;o 32" << old;
    QTest::newRow("marked finished") << -3 << ";w v2>;d v2" << QByteArray("[A]\r\nK=1\r\nL=2\r\nM=3\r\n");
    // Numbers that no save writes: what follows the content is no record.
    QTest::newRow("its offset beyond any file") << -3 << "at=0000004096>at=9999999999" << QByteArray();
    QTest::newRow("its old size past its offset") << -3 << "old=0000000015>old=0000009999" << QByteArray();
    QTest::newRow("the user's lines after it") << -3 << "+[B]\r\nX=1\r\n" << QByteArray();
}

void tst_durablefile::completesAnUnfinishedSave()
{
    QFETCH(int, stop);
    QFETCH(QString, meanwhile);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    setFileBytes(path, "[A]\r\nK=1\r\nL=2\r\n");
    QCOMPARE(::link(sp(path).c_str(), sp(dir.filePath("Tavorin.ini")).c_str()), 0); // a save in place
    writeInChild(
        [&] {
            syscalls::start(size_t(std::abs(stop)), stop < 0 ? -1 : 0);
            return durablefile::update(sp(path), [](std::string_view) { return content::Edit{7, 15, "9\r\n"}; });
        },
        std::nullopt);
    QByteArray found = fileBytes(path);
    const qsizetype record = found.indexOf("\n[tavorin-configurator unfinished save]");
    QVERIFY2(record > 0 && found.endsWith('\n'), found.constData());
    if (meanwhile == "cut") {
        found.chop((found.size() - record) / 2);
    } else if (meanwhile.startsWith('+')) {
        found += meanwhile.mid(1).toLatin1();
    } else if (meanwhile.contains('>')) {
        const QList<QByteArray> change = meanwhile.toLatin1().split('>');
        const qsizetype at = found.indexOf(change[0]);
        QVERIFY(at >= 0);
        found.replace(at, change[0].size(), change[1]);
    }
    setFileBytes(path, found);

    QVERIFY(!append(sp(path), "M=3\r\n"));
    QCOMPARE(fileBytes(path), expected.isEmpty() ? found + "M=3\r\n" : expected);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"Setup.ini", "Tavorin.ini"}));
}

void tst_durablefile::stepsOfASave_data()
{
    // Each path's writes and flushes, in order: where one is missing or
    // comes too late, a crash can lose or tear the file.
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("steps");
    // "[A]\r\nK=1\r\n" becomes "[A]\r\nK=22\r\n": its record at the first page
    // boundary past both ends, then the change at 7, then the record marked
    // finished, then cut off.
    QTest::newRow("changed in place") << "in place"
                                      << QStringList{"pwrite 4096", "fsync file", "pwrite 7",     "fsync file",
                                                     "pwrite 4137", "fsync file", "ftruncate 11", "fsync file"};
    QTest::newRow("replaced by a rename")
        << "rename"
        << QStringList{"write file", "write file", "write file", "fsync file", "linkat", "renameat", "fsync dir"};
    QTest::newRow("created") << "create" << QStringList{"write file", "fsync file", "linkat", "fsync dir"};
    QTest::newRow("created without unnamed files")
        << "create named" << QStringList{"write file", "fsync file", "renameat2", "fsync dir"};
    // A save that changes no byte leaves the file alone: not even its time.
    QTest::newRow("unchanged") << "unchanged" << QStringList{};
}

void tst_durablefile::stepsOfASave()
{
    QFETCH(QString, path);
    QFETCH(QStringList, steps);
    QTemporaryDir dir;
    const QString file = dir.filePath("Setup.ini");
    if (!path.startsWith("create"))
        setFileBytes(file, path == "unchanged" ? "[A]\r\nK=22\r\n" : "[A]\r\nK=1\r\n");
    if (path == "in place")
        QCOMPARE(::link(sp(file).c_str(), sp(dir.filePath("Tavorin.ini")).c_str()), 0);
    syscalls::unnamed = path != "create named";
    syscalls::start();
    const auto error = changeK(sp(file));
    syscalls::recording = false;
    syscalls::unnamed = true;
    QVERIFY2(!error, error->c_str());
    QStringList calls;
    for (const std::string &call : syscalls::calls)
        calls << QString::fromStdString(call);
    QCOMPARE(calls, steps);
    QCOMPARE(fileBytes(file), QByteArray("[A]\r\nK=22\r\n"));
}

void tst_durablefile::everyStepCutShort_data()
{
    QTest::addColumn<int>("error"); // 0: the writer is killed there, halfway through a write
    QTest::newRow("killed") << 0;
    QTest::newRow("the disk full") << ENOSPC;
    QTest::newRow("an I/O error") << EIO;
}

void tst_durablefile::everyStepCutShort()
{
    // A save of each path, cut short at each of its writes and flushes in
    // turn. The file is then as it was, or as it was to become, or holds a
    // record that the next save (which changes nothing) completes or
    // removes; a failure is reported as one; and nothing is left beside it.
    QFETCH(int, error);
    for (const QString path : {"in place", "rename", "create", "create named"}) {
        for (size_t step = 1;; ++step) {
            QTemporaryDir dir;
            const QString file = dir.filePath("Setup.ini");
            QStringList files{"Setup.ini"};
            if (!path.startsWith("create"))
                setFileBytes(file, "[A]\r\nK=1\r\n");
            if (path == "in place") {
                QCOMPARE(::link(sp(file).c_str(), sp(dir.filePath("Tavorin.ini")).c_str()), 0);
                files << "Tavorin.ini";
            }
            std::vector<std::string> made;
            const std::string reported = writeInChild(
                [&]() -> std::optional<std::string> {
                    syscalls::unnamed = path != "create named";
                    syscalls::start(step, error);
                    auto failed = changeK(sp(file));
                    made = syscalls::calls;
                    return made.size() < step ? "<done>" : failed ? *failed : "";
                },
                std::nullopt);
            if (reported == "<done>")
                break; // the save had fewer steps
            const QByteArray cut = fileBytes(file);
            const QString where = QString("%1, step %2: \"%3\"").arg(path).arg(step).arg(QString::fromLatin1(cut));
            // A change in place that fails is undone at once.
            if (path == "in place" && error != 0 && !reported.empty())
                QVERIFY2(cut == "[A]\r\nK=1\r\n", qPrintable(where + ": " + QString::fromStdString(reported)));
            if (path != "in place")
                QVERIFY2(cut == "[A]\r\nK=1\r\n" || cut == "[A]\r\nK=22\r\n" || cut == "<missing>", qPrintable(where));
            // The next save, of the same user.
            const auto next = path.startsWith("create") ? changeK(sp(file)) : append(sp(file), "");
            QVERIFY2(!next, next->c_str());
            const QByteArray now = fileBytes(file);
            if (error != 0 && reported.empty())
                QVERIFY2(now == "[A]\r\nK=22\r\n", qPrintable(where + " was reported saved"));
            QVERIFY2(now == "[A]\r\nK=1\r\n" || now == "[A]\r\nK=22\r\n", qPrintable(where + " then " + now));
            if (error != 0 && !reported.empty())
                QVERIFY2(QString::fromStdString(reported).contains(std::strerror(error)), reported.c_str());
            QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), files);
        }
    }
}

void tst_durablefile::aPowerCutLeavesOldOrNew_data()
{
    QTest::addColumn<bool>("utf16");
    QTest::addColumn<int>("change"); // 0: a value grows; 1: one shortens, no final line break; 2: of one length
    QTest::addColumn<int>("piece"); // what a cut keeps or loses whole: a page, a sector; 0: any part
    for (const bool utf16 : {false, true})
        for (const int change : {0, 1, 2})
            for (const int piece : {4096, 512, 0})
                QTest::addRow("%s, change %d, pieces of %d", utf16 ? "UTF-16LE" : "bytes", change, piece)
                    << utf16 << change << piece;
    QTest::newRow("UTF-16LE with a stray last byte") << true << 1 << -4096;
}

void tst_durablefile::aPowerCutLeavesOldOrNew()
{
    // A save in place, and every state of the file that a power cut during
    // it could leave: of the writes since the last flush, any set of pieces
    // kept, the rest as before (NUL past the old end), at any size the file
    // had since. In each, every key reads as before or as after (but those
    // that the change's own write rewrites, while it is under way); the
    // file reads as before or after; and the next opener, a load and then
    // another save, leaves exactly one of them with that save, nothing past.
    QFETCH(bool, utf16);
    QFETCH(int, change);
    QFETCH(int, piece);
    const bool stray = piece < 0;
    piece = std::abs(piece);
    std::string text = "; kept by hand\r\n[Tavorin]\r\nUseCard=1\r\nUseDepth=16\r\n";
    std::vector<std::pair<std::string, std::string>> keys{{"Tavorin", "UseCard"}, {"Tavorin", "UseDepth"}};
    for (int section = 1; section <= 8; ++section) {
        text += "[S" + std::to_string(section) + "]\r\n";
        for (int key = 0; key < 50; ++key) {
            const std::string name = "K" + std::to_string(section) + "_" + std::to_string(key);
            text += name + "=" + std::to_string(section * 100 + key) + "\r\n";
            if (key % 49 == 0)
                keys.push_back({"S" + std::to_string(section), name});
        }
    }
    text.resize(text.size() - (change == 1 ? 2 : 0));
    const auto encoded = [&](const std::string &ascii) {
        QByteArray bytes;
        for (const char c : ascii)
            bytes += utf16 ? QByteArray(1, c) + '\0' : QByteArray(1, c);
        return bytes;
    };
    const QByteArray before = (utf16 ? QByteArray("\xFF\xFE") : QByteArray()) + encoded(text) + (stray ? "7" : "");
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    setFileBytes(path, before);
    QCOMPARE(::link(sp(path).c_str(), sp(dir.filePath("Tavorin.ini")).c_str()), 0); // a save in place
    syscalls::start();
    QVERIFY(!profilefile::writeString(sp(path), "Tavorin", change == 1 ? "UseDepth" : "UseCard",
                                      change == 0   ? "12345"
                                      : change == 1 ? "8"
                                                    : "3"));
    syscalls::recording = false;
    const std::vector<syscalls::Change> changes = syscalls::changes;
    const QByteArray after = fileBytes(path);
    const auto values = [&](const QByteArray &file) {
        std::vector<int> read;
        for (const auto &[section, key] : keys)
            read.push_back(profile::intValue(file.toStdString(), section, key, -999));
        return read;
    };
    const auto nextOpener = [&](const QByteArray &state) {
        setFileBytes(path, state);
        const std::string read = readBack(sp(path));
        durablefile::finishSave(sp(path));
        profilefile::writeString(sp(path), "S8", "K8_0", "9");
        return std::pair{QByteArray::fromStdString(read), fileBytes(path)};
    };
    const std::vector<int> valuesBefore = values(before), valuesAfter = values(after);
    const QByteArray fromBefore = nextOpener(before).second, fromAfter = nextOpener(after).second;

    QRandomGenerator random(7);
    QByteArray flushed = before;
    std::vector<std::pair<size_t, QByteArray>> pending; // pieces written since the last flush
    std::vector<size_t> sizes{size_t(before.size())};
    std::set<QByteArray> seen;
    size_t changeAt = SIZE_MAX; // where the change's own write began, while it is pending
    QStringList wrong;
    const auto state = [&](const std::vector<bool> &kept, size_t size) {
        QByteArray bytes = flushed;
        bytes.resize(qsizetype(*std::max_element(sizes.begin(), sizes.end())), '\0');
        for (size_t i = 0; i < pending.size(); ++i)
            if (kept[i])
                bytes.replace(qsizetype(pending[i].first), pending[i].second.size(), pending[i].second);
        bytes.resize(qsizetype(size));
        return bytes;
    };
    const auto check = [&](const QByteArray &state) {
        if (!seen.insert(state).second)
            return;
        const std::vector<int> now = values(state);
        for (size_t i = 0; i < keys.size(); ++i)
            if (now[i] != valuesBefore[i] && now[i] != valuesAfter[i]
                && size_t(before.indexOf(encoded("\n" + keys[i].second + "="))) < changeAt)
                wrong << QString("%1=%2").arg(QString::fromStdString(keys[i].second)).arg(now[i]);
        const auto [read, next] = nextOpener(state);
        if (read != before && read != after && read != before.chopped(stray ? 1 : 0))
            wrong << "read as neither, " + QString::number(read.size()) + " bytes";
        if (next != fromBefore && next != fromAfter)
            wrong << "left " + QString::number(next.size()) + " bytes";
    };
    for (const syscalls::Change &step : changes) {
        if (step.what == syscalls::Change::Write) {
            const size_t at = size_t(step.at), end = at + step.bytes.size();
            std::set<size_t> cuts{at, end};
            for (size_t boundary = (at / size_t(piece ? piece : 1) + 1) * size_t(piece); piece && boundary < end;
                 boundary += size_t(piece))
                cuts.insert(boundary);
            for (int i = 0; piece == 0 && i < 5; ++i)
                cuts.insert(at + random.bounded(quint32(step.bytes.size())));
            for (auto from = cuts.begin(), to = std::next(from); to != cuts.end(); from = to++)
                pending.push_back({*from, QByteArray::fromStdString(step.bytes.substr(*from - at, *to - *from))});
            changeAt = at < size_t(before.size()) ? std::min(changeAt, at) : changeAt;
            sizes.push_back(std::max(sizes.back(), end));
        } else if (step.what == syscalls::Change::Truncate) {
            sizes.push_back(size_t(step.at));
        } else {
            // Every set of up to ten pieces; of more, each one kept or lost
            // alone, and sets drawn at random.
            const size_t n = pending.size();
            for (size_t set = 0; set < (n <= 10 ? size_t(1) << n : 2 * n + 60); ++set) {
                std::vector<bool> kept(n);
                for (size_t i = 0; i < n; ++i)
                    kept[i] = n <= 10     ? (set >> i & 1)
                            : set < 2 * n ? (i == set / 2) == (set % 2 == 0)
                                          : random.bounded(2) == 1;
                for (const size_t size : std::set<size_t>(sizes.begin(), sizes.end()))
                    check(state(kept, size));
            }
            flushed = state(std::vector<bool>(n, true), sizes.back()); // then all of it is on the disk
            pending.clear();
            sizes = {sizes.back()};
            changeAt = SIZE_MAX;
        }
    }
    QCOMPARE(flushed, after);
    qInfo("%zu states that a power cut could leave, %lld wrong", seen.size(), qsizetype(wrong.size()));
    QVERIFY(seen.size() > 4);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.mid(0, 10).join("; ")));
}

void tst_durablefile::sizeLimit_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("inPlace");
    QTest::addColumn<bool>("record"); // past the content: what a cut left of a record, its first page lost
    const qint64 limit = qint64(durablefile::MaxSize);
    QTest::newRow("exactly the limit") << limit << false << false;
    QTest::newRow("exactly the limit, in place") << limit << true << false;
    QTest::newRow("exactly the limit, a record past it") << limit << true << true;
    QTest::newRow("one byte over") << limit + 1 << false << false;
    QTest::newRow("one byte over, in place") << limit + 1 << true << false;
    QTest::newRow("160 MiB") << 10 * limit << false << false;
}

void tst_durablefile::sizeLimit()
{
    // A file of MaxSize bytes is read and saved; one byte more is refused,
    // with its size, and left as it is, read no further than its last page.
    QFETCH(qint64, size);
    QFETCH(bool, inPlace);
    QFETCH(bool, record);
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    setFileBytes(path, "[A]\r\nK=1\r\nx");
    QCOMPARE(::truncate(sp(path).c_str(), size), 0);
    {
        const FileDescriptor fd(::open(sp(path).c_str(), O_WRONLY | O_CLOEXEC));
        QCOMPARE(::pwrite(fd.get(), "X", 1, size - 1), 1); // no part of a record
        saverecord::Record change{7, size_t(size), size_t(size), size_t(size) - 8, 0, 0, "1", "2"};
        std::string pages = saverecord::layout(change, content::Encoding::Bytes);
        std::fill_n(pages.begin(), saverecord::Page, '\0');
        QVERIFY(!record
                || ::pwrite(fd.get(), pages.data(), pages.size(), off_t(saverecord::startOf(size, size)))
                       == ssize_t(pages.size()));
    }
    if (inPlace)
        QCOMPARE(::link(sp(path).c_str(), sp(dir.filePath("Tavorin.ini")).c_str()), 0);
    const bool within = size <= qint64(durablefile::MaxSize);
    size_t seen = 0;
    const auto refused = durablefile::read(sp(path), [&](std::string_view content) { seen = content.size(); });
    QCOMPARE(seen, within ? size_t(size) : 0);
    syscalls::start();
    const auto error = changeK(sp(path), "2"); // of the same size
    syscalls::recording = false;
    QVERIFY2(within ? syscalls::reads >= size_t(size) : syscalls::reads <= saverecord::Page + 2,
             qPrintable(QString::number(syscalls::reads)));
    const std::string tooLarge = "it is " + std::to_string(size) + " bytes long";
    for (const auto &message : {refused, error}) {
        QCOMPARE(bool(message), !within);
        if (message)
            QVERIFY2(message->find(tooLarge) == 0, message->c_str());
    }
    // Growing the file beyond the limit is refused too.
    const QByteArray now = fileBytes(path);
    QCOMPARE(now.left(11), within ? QByteArray("[A]\r\nK=2\r\nx") : QByteArray("[A]\r\nK=1\r\nx"));
    if (record)
        QCOMPARE(now.size(), size); // nothing left past the content
    if (within)
        QVERIFY(append(sp(path), "y"));
}

void tst_durablefile::newFileFollowsUmask()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    const mode_t previous = ::umask(027);
    const auto error = replace(sp(path), "[Tavorin]\r\nUseCard=1\r\n");
    ::umask(previous);
    QVERIFY(!error);
    struct stat st {};
    QCOMPARE(::stat(sp(path).c_str(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));
}

void tst_durablefile::readOnlyFileIsNotReplaced()
{
    SharedDir shared;
    QCOMPARE(::chmod(sp(shared.dir.path()).c_str(), 0777), 0); // the folder itself is writable
    const QString path = shared.file("Setup.ini");
    setFileBytes(path, "[A]\r\nK=1\r\n");
    QCOMPARE(::chmod(sp(path).c_str(), 0444), 0);
    struct stat before {};
    QCOMPARE(::stat(sp(path).c_str(), &before), 0);

    // Refused to an ordinary user, and to root too, who could write it.
    const std::string error = writeInChild([&] { return replace(sp(path), "[A]\r\nK=2\r\n"); });
    QVERIFY2(QString::fromStdString(error).contains("read-only"), error.c_str());
    const auto ownError = replace(sp(path), "[A]\r\nK=2\r\n");
    QVERIFY(ownError);
    QVERIFY2(ownError->find("read-only") != std::string::npos, ownError->c_str());

    struct stat after {};
    QCOMPARE(::stat(sp(path).c_str(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(fileText(path), std::string("[A]\r\nK=1\r\n"));
    QCOMPARE(QDir(shared.dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"Setup.ini"});

    // A file another user owns and may write, but this one may not.
    if (::geteuid() != 0)
        return;
    const QString theirs = shared.file("theirs.ini");
    setFileBytes(theirs, "[A]\r\nK=1\r\n");
    QCOMPARE(::chmod(sp(theirs).c_str(), 0644), 0);
    const std::string theirError = writeInChild([&] { return replace(sp(theirs), "[A]\r\nK=2\r\n"); });
    QVERIFY2(QString::fromStdString(theirError).contains("not writable (Permission denied)"), theirError.c_str());
    QCOMPARE(fileText(theirs), std::string("[A]\r\nK=1\r\n"));
}

void tst_durablefile::readOnlyOrMissingFolder()
{
    SharedDir shared;
    const QString existing = shared.file("Setup.ini");
    setFileBytes(existing, "[A]\r\nK=1\r\n");
    QCOMPARE(::chmod(sp(existing).c_str(), 0666), 0); // the file alone would be writable
    shared.closeToChildren();
    struct stat before {};
    QCOMPARE(::stat(sp(existing).c_str(), &before), 0);

    // The folder holds no journal nor new file: the file is saved in place,
    // as a text editor saves it.
    std::string error = writeInChild([&] { return replace(sp(existing), "[A]\r\nK=2\r\n"); });
    QCOMPARE(error, std::string());
    QCOMPARE(fileText(existing), std::string("[A]\r\nK=2\r\n"));
    struct stat after {};
    QCOMPARE(::stat(sp(existing).c_str(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);

    const QString fresh = shared.file("sub/Setup.ini");
    error = writeInChild([&] { return replace(sp(fresh), "[A]\r\nK=2\r\n"); });
    QVERIFY2(QString::fromStdString(error).contains("No such file or directory"), error.c_str());
    QCOMPARE(QDir(shared.dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"Setup.ini"});
}

void tst_durablefile::concurrentWritersLoseNothing_data()
{
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<bool>("unnamed"); // whether the filesystem has unnamed files
    QTest::newRow("an ordinary folder") << 0755 << true;
    QTest::newRow("a filesystem without unnamed files") << 0755 << false;
    // Writable but not readable: no writer can list it, nor open it to lock.
    QTest::newRow("a folder of mode 0333") << 0333 << true;
}

void tst_durablefile::concurrentWritersLoseNothing()
{
    // Two processes add lines of their own to one file at the same time.
    // Without the lock, one would rewrite the file from a stale copy and
    // drop lines the other had just added. As root the writers are another
    // user, to whom the folder's mode applies.
    QFETCH(int, folderMode);
    QFETCH(bool, unnamed);
    QTemporaryDir dir;
    QCOMPARE(::chmod(sp(dir.path()).c_str(), mode_t(folderMode)), 0);
    const auto restore = qScopeGuard([&] { ::chmod(sp(dir.path()).c_str(), 0755); });
    const std::optional<User> writer = folderMode == 0755 ? std::nullopt : std::optional<User>(Nobody);
    const std::string path = sp(dir.filePath("Setup.ini"));
    QCOMPARE(writeInChild([&] { return replace(path, "kept\n"); }, writer), std::string());
    const int perWriter = 60;
    pid_t writers[2];
    for (int w = 0; w < 2; ++w) {
        writers[w] = ::fork();
        if (writers[w] == 0) {
            if (writer && isRoot()
                && (::setgroups(0, nullptr) != 0 || ::setgid(writer->gid) != 0 || ::setuid(writer->uid) != 0))
                ::_exit(2);
            syscalls::unnamed = unnamed;
            for (int n = 0; n < perWriter; ++n) {
                if (append(path, "W" + std::to_string(w) + "_" + std::to_string(n) + "\n"))
                    ::_exit(1);
            }
            ::_exit(0);
        }
    }
    // Both are waited for before anything is checked, so that neither
    // still writes into the folder when a failed check removes it.
    bool saved = true;
    for (pid_t pid : writers) {
        int status = 0;
        saved = ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && saved;
    }
    QVERIFY(saved);

    ::chmod(sp(dir.path()).c_str(), 0755);
    const std::string content = fileText(dir.filePath("Setup.ini"));
    int kept = 0;
    size_t length = std::string("kept\n").size();
    for (int w = 0; w < 2; ++w) {
        for (int n = 0; n < perWriter; ++n) {
            const std::string line = "\nW" + std::to_string(w) + "_" + std::to_string(n) + "\n";
            kept += content.find(line) != std::string::npos;
            length += line.size() - 1;
        }
    }
    qInfo("lines kept by two writers in %s: %d of %d", QTest::currentDataTag(), kept, 2 * perWriter);
    QCOMPARE(kept, 2 * perWriter);
    QVERIFY(content.rfind("kept\n", 0) == 0);
    QCOMPARE(content.size(), length); // and none twice
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"Setup.ini"});
}

void tst_durablefile::failedWriteLeavesFileIntact()
{
    // The disk fills up, here as a file-size limit, while the new content
    // is being written: the error gives the reason, and the old file stands
    // as it was, with no partial copy left beside it.
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    const std::string original = "; notes\r\n[Tavorin]\r\nUseCard=2\r\n";
    setFileBytes(path, original);
    struct stat before {};
    QCOMPARE(::stat(sp(path).c_str(), &before), 0);

    const std::string error = writeInChild(
        [&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const struct rlimit limit = {1024, 1024};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            return replace(sp(path), original + "SyncRate=" + std::string(4096, '7') + "\r\n");
        },
        std::nullopt);

    QVERIFY2(error.find(std::strerror(EFBIG)) != std::string::npos, error.c_str());
    QCOMPARE(fileText(path), original);
    struct stat after {};
    QCOMPARE(::stat(sp(path).c_str(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"Setup.ini"});
}

void tst_durablefile::nothingBesideIsTrusted_data()
{
    // What lies beside Setup.ini under the names of this program or of its
    // older versions is never read, whoever put it there, and no folder is
    // listed. Only this user's own new file, left by a save that was
    // stopped, is removed by the next save; planted names cost it nothing.
    QTest::addColumn<QString>("planted");
    QTest::addColumn<bool>("removed");
    QTest::newRow("this user's leftover") << "own leftover" << true;
    QTest::newRow("another's file under this user's name") << "another's own name" << false;
    QTest::newRow("a hard link as this user's leftover") << "linked own name" << false;
    QTest::newRow("a second name of Setup.ini itself") << "second name" << true;
    QTest::newRow("20000 planted names") << "many" << false;
}

void tst_durablefile::nothingBesideIsTrusted()
{
    QFETCH(QString, planted);
    QFETCH(bool, removed);
    if (planted.startsWith("another") && !isRoot())
        QSKIP("Files of other users need a second user, which only root can be here.");
    QTemporaryDir dir;
    QCOMPARE(::chmod(sp(dir.path()).c_str(), 01777), 0);
    const QString path = dir.filePath("Setup.ini");
    const QString ownName = dir.filePath(".Setup.ini.tavorin-configurator-new");
    setFileBytes(path, "[A]\r\nK=1\r\nL=2\r\n");
    QStringList kept{"Setup.ini"};
    if (planted == "own leftover") {
        setFileBytes(ownName, "[A]\r\nK=half");
    } else if (planted == "another's own name") {
        setFileBytes(ownName, "[A]\r\nK=half");
        QCOMPARE(::chown(sp(ownName).c_str(), 4545, 4545), 0);
    } else if (planted == "second name") {
        QCOMPARE(::link(sp(path).c_str(), sp(ownName).c_str()), 0);
    } else if (planted == "linked own name") {
        setFileBytes(dir.filePath("notes"), "mine");
        QCOMPARE(::link(sp(dir.filePath("notes")).c_str(), sp(ownName).c_str()), 0);
        kept << "notes";
    } else if (planted == "many") {
        for (int n = 0; n < 20000; ++n) {
            const QString name = dir.filePath(
                QString(n % 2 ? ".Setup.ini.tavorin-configurator-new.%1" : ".Setup.ini.tavorin-configurator-journal.%1")
                    .arg(n, 16, 16, QChar('0')));
            QVERIFY(::close(::open(sp(name).c_str(), O_CREAT | O_WRONLY, 0644)) == 0);
            kept << QFileInfo(name).fileName();
        }
    }
    if (!removed && QFileInfo::exists(ownName))
        kept << QFileInfo(ownName).fileName();

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(writeInChild(
                 [&] {
                     syscalls::start();
                     const auto error = append(sp(path), "M=3\r\n");
                     const auto &calls = syscalls::calls;
                     return error ? error
                          : std::find(calls.begin(), calls.end(), "opendir") != calls.end()
                              ? std::optional<std::string>("the folder was listed")
                              : std::nullopt;
                 },
                 std::nullopt),
             std::string());
    qInfo("%s: saved in %lld ms", QTest::currentDataTag(), clock.elapsed());
    QCOMPARE(fileBytes(path), QByteArray("[A]\r\nK=1\r\nL=2\r\nM=3\r\n"));
    kept.sort();
    QStringList left
        = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
    left.sort();
    QCOMPARE(left, kept);
}

QTEST_APPLESS_MAIN(tst_durablefile)
#include "tst_durablefile.moc"
