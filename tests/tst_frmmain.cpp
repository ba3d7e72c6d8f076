// The window: loading, Apply, Run, Ok and the keyboard, driven through real
// key presses and clicks. The test executable plays the configurator, so
// Setup.ini and Tavorin.exe live beside it.

#include "window/application.h"
#include "faketavorin.h"
#include "filebytes.h"
#include "window/frmMain.h"
#include "messageboxwatcher.h"
#include "settings/durablefile.h"
#include "settings/saverecord.h"

#include <QAccessible>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <map>

#include <memory>
#include <optional>
#include <stdexcept>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The window's buttons, by their names in its design.
const char *const RunButton = "Command2";
const char *const ApplyButton = "Command3";
const char *const OkButton = "Command4";

QString appFile(const QString &name) { return QDir(QCoreApplication::applicationDirPath()).filePath(name); }

// The texts that the shown window's controls cut off: a label narrower than
// the width it asks for, a box item or initial text wider than the box's
// field, a caption wider than its button's contents.
QStringList cutOffTexts(const QWidget *window)
{
    QStringList cut;
    const QFontMetrics metrics(window->font());
    for (const QLabel *label : window->findChildren<QLabel *>()) {
        if (label->sizeHint().width() > label->width())
            cut << label->text();
    }
    for (const QComboBox *box : window->findChildren<QComboBox *>()) {
        const int room = box->lineEdit()->width() - 4; // two pixels clear each side
        QStringList texts{box->placeholderText()};
        for (int item = 0; item < box->count(); ++item)
            texts << box->itemText(item);
        for (const QString &text : texts) {
            if (metrics.horizontalAdvance(text) > room)
                cut << text;
        }
    }
    for (const QPushButton *button : window->findChildren<QPushButton *>()) {
        QStyleOptionButton option;
        option.initFrom(button);
        const QRect room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        if (metrics.horizontalAdvance(button->text()) > room.width())
            cut << button->text();
    }
    return cut;
}

} // namespace

class tst_frmMain : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void loadsStoredValues_data();
    void loadsStoredValues();
    void reportsValuesItCannotShow_data();
    void reportsValuesItCannotShow();

    void applyOnFreshStartWritesDefaults();
    void applyWritesChoicesMadeByKeyboard();
    void applyWritesUnchosenRowsAndTypedText();
    void applyFailureIsReported_data();
    void applyFailureIsReported();

    void runStartsTavorinAndSavesNothing();
    void runFailureIsReported_data();
    void runFailureIsReported();
    void aSaveCutShortIsCompletedFirst_data();
    void aSaveCutShortIsCompletedFirst();
    void okEndsWithoutSaving();

    void tabOrderAndFirstFocus();
    void enterEscapeAndSpace_data();
    void enterEscapeAndSpace();
    void controlsAtTheirPixels_data();
    void controlsAtTheirPixels();
    void titleAndIcon();
    void scaleKeptSane_data();
    void scaleKeptSane();
    void everyTextFitsItsControl_data();
    void everyTextFitsItsControl();
    void inputsAreNamedForScreenReaders_data();
    void inputsAreNamedForScreenReaders();

    void uncaughtErrorEndsTheProgram();

private:
    // Creates and shows the window. Without a watcher, it must show no
    // message; with one, the watcher answers the messages it shows.
    void open(MessageBoxWatcher *watcher = nullptr);
    QComboBox *combo(const char *name) const { return m_window->findChild<QComboBox *>(name); }
    QLineEdit *syncRate() const { return m_window->findChild<QLineEdit *>("txtSyncRate"); }
    QPushButton *button(const char *name) const { return m_window->findChild<QPushButton *>(name); }
    QStringList shownTexts() const;
    QString focused() const;
    void click(const char *buttonName, MessageBoxWatcher &watcher);

    std::unique_ptr<frmMain> m_window;
    QByteArray m_path, m_display;
    QTemporaryDir m_workDir;
    QString m_savedDir;
};

void tst_frmMain::init()
{
    QDir().rmpath(appFile("Setup.ini")); // left as a folder by a failed run
    for (const char *name : {"Setup.ini", "Tavorin.exe", "started.log"})
        QFile::remove(appFile(name));
    m_path = qgetenv("PATH");
    m_display = qgetenv("DISPLAY");
    m_savedDir = QDir::currentPath();
}

void tst_frmMain::cleanup()
{
    m_window.reset();
    for (const QString &dir : {QCoreApplication::applicationDirPath(), m_workDir.path()}) {
        stopStarted(dir);
        QFile::remove(QDir(dir).filePath("started.log"));
    }
    QDir().rmdir(appFile("Setup.ini"));
    for (const char *name : {"Setup.ini", "Tavorin.exe"})
        QFile::remove(appFile(name));
    qputenv("PATH", m_path);
    if (m_display.isEmpty())
        qunsetenv("DISPLAY");
    else
        qputenv("DISPLAY", m_display);
    QDir::setCurrent(m_savedDir);
}

void tst_frmMain::open(MessageBoxWatcher *watcher)
{
    std::unique_ptr<MessageBoxWatcher> own;
    if (!watcher)
        watcher = (own = std::make_unique<MessageBoxWatcher>()).get();
    m_window = std::make_unique<frmMain>();
    m_window->show();
    // Messages of the loading come once the window is up, over it, and take
    // the focus; on Wayland no program may make its own window active.
    if (own && QGuiApplication::platformName() != "wayland")
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    else
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    if (own)
        QCOMPARE(own->texts, QStringList());
    else
        QTRY_VERIFY(!watcher->texts.isEmpty());
}

QStringList tst_frmMain::shownTexts() const
{
    return {combo("combographiccard")->currentText(), combo("combocolourdepth")->currentText(), syncRate()->text(),
            combo("comboHelp")->currentText(), combo("comboMode")->currentText()};
}

QString tst_frmMain::focused() const
{
    QWidget *widget = QApplication::focusWidget();
    // An editable box's field is a child of the box.
    if (widget && qobject_cast<QComboBox *>(widget->parentWidget()))
        widget = widget->parentWidget();
    return widget ? widget->objectName() : QString();
}

void tst_frmMain::click(const char *buttonName, MessageBoxWatcher &watcher)
{
    Q_UNUSED(watcher); // must exist while the click runs, to answer a message
    QTest::mouseClick(button(buttonName), Qt::LeftButton);
}

void tst_frmMain::loadsStoredValues_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QList<int>>("indexes"); // card, depth, help, mode

    const QString none = "Please Choose";
    QTest::newRow("no file") << QByteArray() << QStringList{"1", "16", "0", "Yes", "Yes"} << QList<int>{0, 1, 1, 1};
    QTest::newRow("section without keys")
        << QByteArray("[Tavorin]\r\n") << QStringList{"1", "16", "0", "Yes", "Yes"} << QList<int>{0, 1, 1, 1};
    QTest::newRow("all stored") << QByteArray(
        "[Tavorin]\r\nUseCard=5\r\nUseDepth=24\r\nSyncRate=75\r\nShowHelp=0\r\nShowMode=0\r\n")
                                << QStringList{"5", "24", "75", "No", "No"} << QList<int>{4, 2, 0, 0};
    QTest::newRow("some missing") << QByteArray("[Tavorin]\nUseCard=2\nShowMode=0\n")
                                  << QStringList{"2", "16", "0", "Yes", "No"} << QList<int>{1, 1, 1, 0};
    QTest::newRow("nothing chosen") << QByteArray("[Tavorin]\r\nUseCard=0\r\nShowHelp=-1\r\nShowMode=-1\r\n")
                                    << QStringList{none, "16", "0", none, none} << QList<int>{-1, 1, -1, -1};
    QTest::newRow("depth 8 and 32") << QByteArray("[Tavorin]\r\nUseDepth=8\r\n[Other]\r\nUseDepth=32\r\n")
                                    << QStringList{"1", "8", "0", "Yes", "Yes"} << QList<int>{0, 0, 1, 1};
    QTest::newRow("sync rate read as a number") << QByteArray("[Tavorin]\r\nSyncRate= 075abc\r\n")
                                                << QStringList{"1", "16", "75", "Yes", "Yes"} << QList<int>{0, 1, 1, 1};
    QTest::newRow("negative sync rate") << QByteArray("[Tavorin]\r\nSyncRate=-60\r\n")
                                        << QStringList{"1", "16", "-60", "Yes", "Yes"} << QList<int>{0, 1, 1, 1};
    QTest::newRow("sync rate without digits") << QByteArray("[Tavorin]\r\nSyncRate=abc\r\n")
                                              << QStringList{"1", "16", "0", "Yes", "Yes"} << QList<int>{0, 1, 1, 1};
    QTest::newRow("saved as Unicode by Notepad")
        << QByteArray("\xFF\xFE[\0T\0a\0v\0o\0r\0i\0n\0]\0\r\0\n\0U\0s\0e\0C\0a\0r\0d\0=\0004\0", 42)
        << QStringList{"4", "16", "0", "Yes", "Yes"} << QList<int>{3, 1, 1, 1};
    QTest::newRow("hand-edited spelling") << QByteArray("; mine\n[ tavorin ]\n usecard = 3 \nUSEDEPTH=32\n")
                                          << QStringList{"3", "32", "0", "Yes", "Yes"} << QList<int>{2, 3, 1, 1};
}

void tst_frmMain::loadsStoredValues()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, shown);
    QFETCH(QList<int>, indexes);

    if (!file.isEmpty())
        setFileBytes(appFile("Setup.ini"), file);
    open();

    QCOMPARE(shownTexts(), shown);
    QCOMPARE((QList<int>{combo("combographiccard")->currentIndex(), combo("combocolourdepth")->currentIndex(),
                         combo("comboHelp")->currentIndex(), combo("comboMode")->currentIndex()}),
             indexes);
    // Loading writes nothing, and creates no file.
    QCOMPARE(fileBytes(appFile("Setup.ini")), file.isEmpty() ? QByteArray("<missing>") : file);
}

void tst_frmMain::reportsValuesItCannotShow_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("named");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QByteArray>("applied");

    const QString none = "Please Choose";
    QTest::newRow("card 6") << QByteArray("[Tavorin]\r\nUseCard=6\r\nUseDepth=24\r\nShowHelp=0\r\n")
                            << QStringList{"UseCard=6"} << QStringList{none, "24", "0", "No", "Yes"}
                            << QByteArray("UseCard=0\r\nUseDepth=24\r\nShowHelp=0\r\nSyncRate=0\r\nShowMode=1\r\n");
    QTest::newRow("card -1") << QByteArray("[Tavorin]\r\nUseCard=-1\r\n") << QStringList{"UseCard=-1"}
                             << QStringList{none, "16", "0", "Yes", "Yes"}
                             << QByteArray("UseCard=0\r\nUseDepth=16\r\nSyncRate=0\r\nShowHelp=1\r\nShowMode=1\r\n");
    QTest::newRow("card that overflows")
        << QByteArray("[Tavorin]\r\nUseCard=2147483648\r\n") << QStringList{"UseCard=-2147483648"}
        << QStringList{none, "16", "0", "Yes", "Yes"}
        << QByteArray("UseCard=0\r\nUseDepth=16\r\nSyncRate=0\r\nShowHelp=1\r\nShowMode=1\r\n");
    QTest::newRow("help 2 and mode 5")
        << QByteArray("[Tavorin]\r\nUseCard=3\r\nShowHelp=2\r\nShowMode=5\r\nSyncRate=60\r\n")
        << QStringList{"ShowHelp=2", "ShowMode=5"} << QStringList{"3", "16", "60", none, none}
        << QByteArray("UseCard=3\r\nShowHelp=-1\r\nShowMode=-1\r\nSyncRate=60\r\nUseDepth=16\r\n");
    QTest::newRow("unlisted depth") << QByteArray("[Tavorin]\r\nUseDepth=15\r\n") << QStringList{"UseDepth=15"}
                                    << QStringList{"1", none, "0", "Yes", "Yes"}
                                    << QByteArray(
                                           "UseDepth=32\r\nUseCard=1\r\nSyncRate=0\r\nShowHelp=1\r\nShowMode=1\r\n");
    QTest::newRow("help beyond 16 bits")
        << QByteArray("[Tavorin]\r\nShowHelp=65536\r\nShowMode=-2\r\nUseCard=99\r\n")
        << QStringList{"ShowHelp=65536", "ShowMode=-2", "UseCard=99"} << QStringList{none, "16", "0", none, none}
        << QByteArray("ShowHelp=-1\r\nShowMode=-1\r\nUseCard=0\r\nUseDepth=16\r\nSyncRate=0\r\n");
}

void tst_frmMain::reportsValuesItCannotShow()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, named);
    QFETCH(QStringList, shown);
    QFETCH(QByteArray, applied);

    setFileBytes(appFile("Setup.ini"), file);
    MessageBoxWatcher watcher;
    open(&watcher);

    // One message, over the shown window, naming every rejected key with
    // its value and the file.
    QCOMPARE(watcher.titles, QStringList{"Tavorin Configurator"});
    QCOMPARE(watcher.over, QStringList{"frmMain"});
    for (const QString &setting : named)
        QVERIFY2(watcher.texts.value(0).contains(setting), qPrintable(watcher.texts.value(0)));
    QVERIFY(watcher.texts.value(0).contains(appFile("Setup.ini")));
    QVERIFY(watcher.texts.value(0).contains("accepted"));
    QVERIFY(m_window->isVisible());
    QCOMPARE(shownTexts(), shown);
    QCOMPARE(fileBytes(appFile("Setup.ini")), file);

    // Apply replaces the rejected values with what an unchosen row writes.
    MessageBoxWatcher applyWatcher;
    click(ApplyButton, applyWatcher);
    QCOMPARE(applyWatcher.texts, QStringList());
    QCOMPARE(fileBytes(appFile("Setup.ini")), "[Tavorin]\r\n" + applied);
}

void tst_frmMain::applyOnFreshStartWritesDefaults()
{
    open();
    MessageBoxWatcher watcher;
    click(ApplyButton, watcher);
    QCOMPARE(watcher.texts, QStringList());
    const QByteArray expected = "[Tavorin]\r\nUseCard=1\r\nUseDepth=16\r\nSyncRate=0\r\nShowHelp=1\r\nShowMode=1\r\n";
    QCOMPARE(fileBytes(appFile("Setup.ini")), expected);
    QVERIFY(m_window->isVisible()); // Apply does not close the window

    click(ApplyButton, watcher); // a second press changes nothing
    QCOMPARE(fileBytes(appFile("Setup.ini")), expected);
}

void tst_frmMain::applyWritesChoicesMadeByKeyboard()
{
    setFileBytes(appFile("Setup.ini"), "; my notes\n[Video]\nMode=7\n[Tavorin]\nUseCard=2\nExtra=1\n");
    open();

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down); // card 2 -> 3
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up); // depth 16 -> 8
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), " 85 Hz");
    // Typing into a box's field changes no choice: only the index is saved.
    QTest::keyClicks(combo("comboHelp")->lineEdit(), "maybe");
    QTest::keyClick(combo("comboMode"), Qt::Key_Up); // Yes -> No

    MessageBoxWatcher watcher;
    click(ApplyButton, watcher);
    QCOMPARE(watcher.texts, QStringList());
    QCOMPARE(fileBytes(appFile("Setup.ini")), QByteArray("; my notes\n[Video]\nMode=7\n[Tavorin]\nUseCard=3\nExtra=1\n"
                                                         "UseDepth=8\nSyncRate= 85 Hz\nShowHelp=1\nShowMode=0\n"));
}

void tst_frmMain::applyWritesUnchosenRowsAndTypedText()
{
    setFileBytes(appFile("Setup.ini"), "[Tavorin]\r\nUseCard=0\r\nUseDepth=15\r\nShowHelp=-1\r\nShowMode=0\r\n");
    MessageBoxWatcher loadWatcher; // which names the depth it cannot show
    open(&loadWatcher);
    syncRate()->clear();

    MessageBoxWatcher watcher;
    click(ApplyButton, watcher);
    QCOMPARE(watcher.texts, QStringList());
    // No depth chosen saves 32; a cleared sync rate keeps its key, empty.
    QCOMPARE(fileBytes(appFile("Setup.ini")),
             QByteArray("[Tavorin]\r\nUseCard=0\r\nUseDepth=32\r\nShowHelp=-1\r\nShowMode=0\r\nSyncRate=\r\n"));
}

void tst_frmMain::applyFailureIsReported_data()
{
    QTest::addColumn<bool>("folderInPlace");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("summary"); // what was saved and what not

    const QString onlySyncRate = "Saved: graphics card, colour depth, show help, show mode.\n\nNot saved: sync rate. ";
    QTest::newRow("Setup.ini is a folder") << true << QString("60") << "not a regular file"
                                           << "No setting was saved.\n\nNot saved: graphics card, colour depth, sync "
                                              "rate, show help, show mode. ";
    QTest::newRow("line break in the sync rate")
        << false << QString("60\r\n[Evil]\r\nX=1") << "line break" << onlySyncRate;
    QTest::newRow("NUL in the sync rate") << false << QString("60") + QChar(0) + "[Evil]"
                                          << "NUL" << onlySyncRate;
    QTest::newRow("Setup.ini cannot be read") << false << QString("60") << "more than the 16 MiB"
                                              << "No setting was saved: ";
    // Apply's five saves wait for it once together, not once each.
    QTest::newRow("another program holds a lock on it") << false << QString("60") << "another program holds a lock"
                                                        << "No setting was saved.";
}

void tst_frmMain::applyFailureIsReported()
{
    QFETCH(bool, folderInPlace);
    QFETCH(QString, typed);
    QFETCH(QString, reason);
    QFETCH(QString, summary);

    if (folderInPlace)
        QVERIFY(QDir().mkdir(appFile("Setup.ini")));
    const bool unreadable = QByteArray(QTest::currentDataTag()).contains("read");
    if (unreadable) // the window shows the defaults, which Apply must not save over it
        setFileBytes(appFile("Setup.ini"), QByteArray(int(durablefile::MaxSize) + 1, 'X'));
    const bool locked = QByteArray(QTest::currentDataTag()).contains("lock");
    QFile held(appFile("Setup.ini"));
    struct flock request {};
    request.l_type = F_WRLCK;
    if (locked)
        QVERIFY(held.open(QIODevice::ReadWrite) && ::fcntl(held.handle(), F_OFD_SETLK, &request) == 0);
    std::optional<MessageBoxWatcher> loadWatcher; // which says that the file cannot be read
    open(unreadable ? &loadWatcher.emplace() : nullptr);
    loadWatcher.reset();
    QTest::keyClick(combo("combographiccard"), Qt::Key_Down);
    syncRate()->setText(typed);
    QCOMPARE(syncRate()->text(), typed);

    MessageBoxWatcher watcher;
    QElapsedTimer clock;
    clock.start();
    click(ApplyButton, watcher);
    QVERIFY(clock.elapsed() < 4000);

    QCOMPARE(watcher.titles, QStringList{"Tavorin Configurator"});
    QVERIFY2(watcher.texts[0].contains(appFile("Setup.ini")), qPrintable(watcher.texts[0]));
    QVERIFY2(watcher.texts[0].contains(reason), qPrintable(watcher.texts[0]));
    QVERIFY2(watcher.texts[0].startsWith(summary), qPrintable(watcher.texts[0]));
    QVERIFY(m_window->isVisible());
    QCOMPARE(shownTexts().value(0), QString("2"));
    if (folderInPlace) {
        QVERIFY(QFileInfo(appFile("Setup.ini")).isDir());
        QCOMPARE(watcher.texts[0].count(reason), 1); // five failures, said once
    } else if (unreadable) {
        QCOMPARE(QFileInfo(appFile("Setup.ini")).size(), qint64(durablefile::MaxSize) + 1);
    } else if (!locked) {
        // The other four writes still happened; no line was injected.
        QCOMPARE(fileBytes(appFile("Setup.ini")),
                 QByteArray("[Tavorin]\r\nUseCard=2\r\nUseDepth=16\r\nShowHelp=1\r\nShowMode=1\r\n"));
    }
}

void tst_frmMain::runStartsTavorinAndSavesNothing()
{
    setScript(appFile("Tavorin.exe"), fakeTavorin());
    setFileBytes(appFile("Setup.ini"), "[Tavorin]\r\nUseCard=2\r\n");
    open();
    QTest::keyClick(combo("combographiccard"), Qt::Key_Down); // changed, not applied

    MessageBoxWatcher watcher;
    click(RunButton, watcher);
    QCOMPARE(watcher.texts, QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(startedLines(QCoreApplication::applicationDirPath()).size(), 1, 5000);
    QVERIFY(m_window->isVisible());
    QCOMPARE(fileBytes(appFile("Setup.ini")), QByteArray("[Tavorin]\r\nUseCard=2\r\n"));
}

// Why Run could not start Tavorin comes in a message over the window, at
// once or once Wine has tried; the window stays as it was.
void tst_frmMain::runFailureIsReported_data()
{
    QTest::addColumn<QByteArray>("said"); // what Wine's start does; empty: there is no Tavorin.exe
    QTest::addColumn<QString>("reason");
    QTest::newRow("not found") << QByteArray() << "Tavorin.exe was found neither in";
    QTest::newRow("Wine's start fails") << QByteArray("echo 'wine: failed to start L\"Tavorin.exe\"'; exit 5\n")
                                        << "It ended with status 5. Wine said:\n    wine: failed to start";
}

void tst_frmMain::runFailureIsReported()
{
    QFETCH(QByteArray, said);
    QFETCH(QString, reason);
    qputenv("PATH", QFile::encodeName(m_workDir.path())); // holds no Tavorin.exe
    if (!said.isEmpty()) {
        setScript(appFile("Tavorin.exe"), windowsProgram(QByteArray("PE\0\0", 4)), 0644);
        installFakeWine(m_workDir.path(), "64-bit only", said);
    }
    open();
    QTest::keyClick(combo("comboHelp"), Qt::Key_Up); // an unapplied choice

    MessageBoxWatcher watcher;
    click(RunButton, watcher);
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.texts.isEmpty(), 4000);
    qunsetenv("WINEPREFIX");

    QCOMPARE(watcher.titles, QStringList{"Tavorin Configurator"});
    QVERIFY2(watcher.texts[0].startsWith("Tavorin could not be started:"), qPrintable(watcher.texts[0]));
    QVERIFY2(watcher.texts[0].contains(reason), qPrintable(watcher.texts[0]));
    QCOMPARE(watcher.over, QStringList{"frmMain"});
    QVERIFY(m_window->isVisible());
    QCOMPARE(shownTexts().value(3), QString("No"));
    QTRY_COMPARE_WITH_TIMEOUT(zombieChildren(), 0, 1000); // the check of what Wine runs reaps its own
}

void tst_frmMain::aSaveCutShortIsCompletedFirst_data()
{
    QTest::addColumn<int>("padding"); // bytes of comment after the settings
    QTest::addColumn<bool>("run"); // the file found so by Run, not by the load
    QTest::newRow("by the load") << 0 << false;
    QTest::newRow("by the load, of almost 16 MiB") << int(durablefile::MaxSize) - 100 << false;
    QTest::newRow("by Run") << 0 << true;
}

void tst_frmMain::aSaveCutShortIsCompletedFirst()
{
    // A save in place of UseCard=3 and UseDepth=24 (they were 1 and 16),
    // cut short halfway through the change: UseDepth still reads 16. The
    // window, or Run before it starts Tavorin, completes it; and the window
    // shows what it completed, however large the record past the content.
    QFETCH(int, padding);
    QFETCH(bool, run);
    const QByteArray pad = QByteArray(padding, ';') + "\r\n";
    const QByteArray before = "[Tavorin]\r\nUseCard=1\r\nUseDepth=16\r\n" + pad,
                     after = "[Tavorin]\r\nUseCard=3\r\nUseDepth=24\r\n" + pad;
    const std::string old = before.toStdString(), now = after.toStdString();
    saverecord::Record record{19, old.size(), now.size()};
    record.prefixSum = saverecord::checksum(old.substr(0, 19));
    record.before = old.substr(19);
    record.after = now.substr(19);
    QByteArray torn = after.left(22) + before.mid(22);
    torn.resize(qsizetype(saverecord::startOf(old.size(), now.size())), '\0');
    torn += QByteArray::fromStdString(saverecord::layout(record, content::Encoding::Bytes));
    qputenv("PATH", QFile::encodeName(m_workDir.path())); // holds no Tavorin.exe
    if (!run)
        setFileBytes(appFile("Setup.ini"), torn);
    open();
    if (run) {
        setFileBytes(appFile("Setup.ini"), torn);
        MessageBoxWatcher watcher;
        click(RunButton, watcher);
        QTRY_VERIFY_WITH_TIMEOUT(!watcher.texts.isEmpty(), 4000); // no Tavorin.exe to start
    } else {
        QCOMPARE(shownTexts().mid(0, 2), (QStringList{"3", "24"}));
    }
    QVERIFY(fileBytes(appFile("Setup.ini")) == after);
}

void tst_frmMain::okEndsWithoutSaving()
{
    setFileBytes(appFile("Setup.ini"), "[Tavorin]\r\nUseDepth=24\r\n");
    open();
    MessageBoxWatcher watcher;
    click(ApplyButton, watcher);
    const QByteArray applied = fileBytes(appFile("Setup.ini"));
    QVERIFY(applied.contains("UseDepth=24"));

    combo("combocolourdepth")->setCurrentIndex(3); // by the mouse, as on a desktop without a keyboard
    QCOMPARE(shownTexts().value(1), QString("32"));
    click(OkButton, watcher);

    QCOMPARE(watcher.texts, QStringList());
    QVERIFY(!m_window->isVisible());
    QCOMPARE(fileBytes(appFile("Setup.ini")), applied);
}

void tst_frmMain::tabOrderAndFirstFocus()
{
    open();
    QCOMPARE(focused(), QString("combographiccard"));
    const QStringList forward{"combocolourdepth", "txtSyncRate", RunButton,   ApplyButton,
                              OkButton,           "comboHelp",   "comboMode", "combographiccard"};
    for (const QString &expected : forward) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(focused(), expected);
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(focused(), QString("comboMode"));
}

void tst_frmMain::enterEscapeAndSpace_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("applies");

    QTest::newRow("Enter in a box") << "combographiccard" << int(Qt::Key_Return) << false;
    QTest::newRow("keypad Enter in a box") << "comboMode" << int(Qt::Key_Enter) << false;
    QTest::newRow("Escape in a box") << "combocolourdepth" << int(Qt::Key_Escape) << false;
    QTest::newRow("Enter in the text box") << "txtSyncRate" << int(Qt::Key_Return) << false;
    QTest::newRow("Escape in the text box") << "txtSyncRate" << int(Qt::Key_Escape) << false;
    QTest::newRow("Escape on Apply") << ApplyButton << int(Qt::Key_Escape) << false;
    QTest::newRow("Escape on Ok") << OkButton << int(Qt::Key_Escape) << false;
    QTest::newRow("Enter on Apply") << ApplyButton << int(Qt::Key_Return) << true;
    QTest::newRow("keypad Enter on Apply") << ApplyButton << int(Qt::Key_Enter) << true;
    QTest::newRow("Space on Apply") << ApplyButton << int(Qt::Key_Space) << true;
}

void tst_frmMain::enterEscapeAndSpace()
{
    QFETCH(QString, control);
    QFETCH(int, key);
    QFETCH(bool, applies);

    open();
    QWidget *target = m_window->findChild<QWidget *>(control);
    target->setFocus(Qt::TabFocusReason);
    QCOMPARE(focused(), control);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QCOMPARE(QFile::exists(appFile("Setup.ini")), applies);
    QVERIFY(m_window->isVisible()); // nothing closed the window
}

void tst_frmMain::controlsAtTheirPixels_data()
{
    QTest::addColumn<qreal>("defaultSize"); // the desktop's font, in points; 0 for the platform's own
    QTest::newRow("the platform's default font") << 0.0;
    QTest::newRow("a 14 pt default font, which grows the design") << 14.0;
    QTest::newRow("a font too large for the screen") << 150.0;
}

void tst_frmMain::controlsAtTheirPixels()
{
    // At the platform's font the window is its design, 258 x 177 and not
    // resizable. At any other font every control stands where that design
    // puts it, scaled by the factor that the fitting chose, as does every
    // gap between them.
    QFETCH(qreal, defaultSize);
    open();
    std::map<QString, QRect> design;
    for (const QWidget *control : m_window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        design[control->objectName()] = control->geometry();
    QCOMPARE(m_window->size(), QSize(258, 177));
    const QPoint gaps[] = {{140, 10}, {200, 80}}; // between a label and its input; below the sync rate

    const QFont platformFont = QApplication::font();
    const auto restore = qScopeGuard([&platformFont] { QApplication::setFont(platformFont); });
    if (defaultSize > 0) {
        QFont font = platformFont;
        font.setPointSizeF(defaultSize);
        QApplication::setFont(font);
        open();
    }
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
    const qreal factor = m_window->width() / 258.0;
    QVERIFY(qAbs(m_window->height() - 177 * factor) <= 1);
    // The window's own control at a point: an editable box's field is a
    // child of the box.
    const auto controlAt = [this](QPointF point) {
        QWidget *hit = m_window->childAt(point.toPoint());
        while (hit && hit->parentWidget() != m_window.get())
            hit = hit->parentWidget();
        return hit ? hit->objectName() : QString();
    };
    for (const auto &[name, at] : design) {
        const QRect now = m_window->findChild<QWidget *>(name)->geometry();
        for (const auto &[ours, theirs] :
             {std::pair{now.left(), at.left()}, std::pair{now.top(), at.top()},
              std::pair{now.right() + 1, at.right() + 1}, std::pair{now.bottom() + 1, at.bottom() + 1}})
            QVERIFY2(qAbs(ours - theirs * factor) <= 1,
                     qPrintable(QString("%1 at %2 x %3").arg(name).arg(now.x()).arg(now.y())));
        QCOMPARE(controlAt(QPointF(at.center()) * factor), name);
    }
    for (const QPoint gap : gaps)
        QCOMPARE(controlAt(QPointF(gap) * factor), QString());
}

void tst_frmMain::titleAndIcon()
{
    open();
    QCOMPARE(m_window->windowTitle(), QString("Tavorin Configurator"));
    // The icon is compiled into the program from a static library, where a
    // resource that nothing refers to is easily dropped by the linker.
    const QIcon windowIcon = m_window->windowIcon();
    const QImage icon = windowIcon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(icon.size(), QSize(32, 32));
    for (const QPoint corner : {QPoint(0, 0), QPoint(31, 0), QPoint(0, 31), QPoint(31, 31)})
        QCOMPARE(qAlpha(icon.pixel(corner)), 0);

    // On a screen of twice the density the 32-pixel icon has 64 device
    // pixels. Larger sizes come from the scalable picture, not from the
    // 32-pixel one (which an icon never enlarges), so they are sharp.
    QCOMPARE(windowIcon.pixmap(QSize(32, 32), 2.0).size(), QSize(64, 64));
    for (const int size : {64, 256}) {
        const QImage large = windowIcon.pixmap(size, size).toImage();
        QCOMPARE(large.size(), QSize(size, size));
        QCOMPARE(qAlpha(large.pixel(0, 0)), 0);
        QCOMPARE(large.pixelColor(size * 12 / 32, size * 23 / 32), QColor(0x00, 0x80, 0x00)); // body
    }
}

void tst_frmMain::scaleKeptSane_data()
{
    QTest::addColumn<QByteArray>("factor"); // QT_SCALE_FACTOR
    QTest::addColumn<QByteArray>("kept"); // what it is once kept sane
    QTest::newRow("2") << QByteArray("2") << QByteArray("2");
    QTest::newRow("-1") << QByteArray("-1") << QByteArray("1");
    QTest::newRow("inf") << QByteArray("inf") << QByteArray("1");
    QTest::newRow("nan") << QByteArray("nan") << QByteArray("1");
}

void tst_frmMain::scaleKeptSane()
{
    QFETCH(QByteArray, factor);
    QFETCH(QByteArray, kept);
    qputenv("QT_SCALE_FACTOR", factor);
    Application::keepScaleFactorSane();
    const QByteArray now = qgetenv("QT_SCALE_FACTOR");
    qunsetenv("QT_SCALE_FACTOR");
    QCOMPARE(now, kept);
    // A window fits the screen only where its height does too.
    const QSize room = QGuiApplication::primaryScreen()->availableGeometry().size();
    QVERIFY(Application::roomOnScreenFor(QSize(room.width() / 2, room.height() * 2)) < 1);
}

void tst_frmMain::everyTextFitsItsControl_data()
{
    QTest::addColumn<qreal>("defaultSize"); // points; 0 for the platform's own
    QTest::addColumn<QString>("family"); // empty for the platform's own
    QTest::addColumn<bool>("grows"); // the window, to keep three quarters of it
    QTest::addColumn<bool>("fillsScreen"); // the window, where three quarters would need more

    QTest::newRow("the platform's default font") << 0.0 << QString() << false << false;
    QTest::newRow("a 12 pt default font") << 12.0 << QString() << true << false;
    QTest::newRow("a 14 pt default font") << 14.0 << QString() << true << false;
    QTest::newRow("a small default font") << 6.5 << QString() << false << false;
    // Wider and narrower texts than the usual font's: other sizes fit.
    QTest::newRow("a monospace default font") << 9.0 << "DejaVu Sans Mono" << true << false;
    QTest::newRow("a small monospace default font") << 8.0 << "DejaVu Sans Mono" << false << false;
    QTest::newRow("a serif default font") << 9.0 << "DejaVu Serif" << false << false;
    // As QT_FONT_DPI=2000 makes it: the design takes the whole screen.
    QTest::newRow("a font too large for the screen") << 150.0 << QString() << true << true;
}

void tst_frmMain::everyTextFitsItsControl()
{
    QFETCH(qreal, defaultSize);
    QFETCH(QString, family);
    QFETCH(bool, grows);
    QFETCH(bool, fillsScreen);
    const QFont platformFont = QApplication::font();
    const auto restore = qScopeGuard([&platformFont] { QApplication::setFont(platformFont); });
    QFont standard = platformFont;
    if (defaultSize > 0)
        standard.setPointSizeF(defaultSize);
    if (!family.isEmpty())
        standard.setFamilies({family});
    QApplication::setFont(standard);

    open();
    const QFont chosen = m_window->font();
    const QSize size = m_window->size();
    qInfo("default %s %.1f pt; window %.1f pt, %d x %d", qPrintable(standard.family()), standard.pointSizeF(),
          chosen.pointSizeF(), size.width(), size.height());
    QCOMPARE(chosen.family(), standard.family());
    QVERIFY(chosen.pointSizeF() <= standard.pointSizeF());
    // Three quarters of the desktop's size, to the half point that fits;
    // or, where that would need more than the screen, the whole screen.
    const QSize room = QGuiApplication::primaryScreen()->availableGeometry().size();
    QVERIFY(size.width() <= room.width() && size.height() <= room.height());
    QCOMPARE(qMin(room.width() - size.width(), room.height() - size.height()) <= 1, fillsScreen);
    QCOMPARE(chosen.pointSizeF() >= 0.75 * standard.pointSizeF() - 0.5, !fillsScreen);
    QCOMPARE(cutOffTexts(m_window.get()), QStringList());

    // No text is cut off, and none of the controls sets a font of its own.
    for (const QWidget *control : m_window->findChildren<QWidget *>())
        QCOMPARE(control->font(), chosen);

    // The design grows as a whole, or not at all.
    QCOMPARE(size.width() > 258, grows);
    QCOMPARE(m_window->minimumSize(), size);
    QCOMPARE(m_window->maximumSize(), size);
    const qreal factor = size.width() / 258.0;
    QVERIFY(qAbs(size.height() - 177 * factor) <= 1);
    const QRect ok = m_window->findChild<QWidget *>(OkButton)->geometry();
    QVERIFY(qAbs(ok.x() - 176 * factor) <= 1 && qAbs(ok.bottom() + 1 - 169 * factor) <= 1);

    if (!grows && chosen.pointSizeF() < standard.pointSizeF()) {
        // The largest size that fits: half a point more cuts a text off.
        QFont larger = chosen;
        larger.setPointSizeF(chosen.pointSizeF() + 0.5);
        m_window->setFont(larger);
        QVERIFY(!cutOffTexts(m_window.get()).isEmpty());
    }
}

void tst_frmMain::inputsAreNamedForScreenReaders_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("label"); // the label that names it, if any
    QTest::addColumn<QString>("name"); // its own name, where not its value
    QTest::addColumn<QString>("description"); // its tooltip, or what it is heard as, then "|" and its tooltip

    // A box's own name is its value (on Linux, Qt names it by its label
    // through the "labelled by" relation, as screen readers expect).
    QTest::newRow("graphics card") << "combographiccard"
                                   << "Use graphic card number:" << QString() << "Please choose your graphics card";
    QTest::newRow("colour depth") << "combocolourdepth"
                                  << "Use colour depth:" << QString() << "Please choose your colour depth";
    QTest::newRow("sync rate") << "txtSyncRate"
                               << "Use sync rate:"
                               << "Use sync rate:"
                               << "Enter your desired sync rate";
    QTest::newRow("show help") << "comboHelp"
                               << "Show help:" << QString() << "Please choose whether to show help";
    QTest::newRow("show mode") << "comboMode"
                               << "Show mode information:" << QString()
                               << "Please choose whether to show mode information";
    // A button's tooltip is the window's own old text, which says more than
    // the button does: screen readers hear what it does instead.
    QTest::newRow("Run") << RunButton << QString() << "Run"
                         << "Starts Tavorin with the saved settings; does not save|Save Settings and Run Tavorin";
    QTest::newRow("Apply") << ApplyButton << QString() << "Apply"
                           << "Saves the five settings; the window stays open|Save Settuings and Exit";
    QTest::newRow("Ok") << OkButton << QString() << "Ok"
                        << "Closes the configurator without saving|Exit";
}

void tst_frmMain::inputsAreNamedForScreenReaders()
{
    QFETCH(QString, control);
    QFETCH(QString, label);
    QFETCH(QString, name);
    QFETCH(QString, description);

    open();
    QWidget *widget = m_window->findChild<QWidget *>(control);
    QVERIFY(widget);
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(accessible);

    QStringList labels;
    for (const auto &relation : accessible->relations(QAccessible::Label))
        labels << relation.first->text(QAccessible::Name);
    QCOMPARE(labels, label.isEmpty() ? QStringList() : QStringList{label});
    if (!name.isEmpty())
        QCOMPARE(accessible->text(QAccessible::Name), name);
    qInfo("%s, as an accessibility client reads it: name \"%s\", description \"%s\"", qPrintable(control),
          qPrintable(accessible->text(QAccessible::Name)), qPrintable(accessible->text(QAccessible::Description)));
    QCOMPARE(accessible->text(QAccessible::Description), description.section('|', 0, 0));
    QCOMPARE(widget->toolTip(), description.section('|', -1));

    // Naming an input by its label adds no access key to the caption.
    for (const QLabel *each : m_window->findChildren<QLabel *>())
        QVERIFY(!each->text().contains('&'));
}

void tst_frmMain::uncaughtErrorEndsTheProgram()
{
    // An error escaping from a click is caught at the event dispatch: one
    // message names it and the event loop ends with a failure status.
    struct Thrower : QObject {
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::MouseButtonRelease)
                throw std::runtime_error("the settings store fell over");
            return false;
        }
    } thrower;
    open();
    button(ApplyButton)->installEventFilter(&thrower);
    MessageBoxWatcher watcher;
    QTimer::singleShot(0, this, [this] { QTest::mouseClick(button(ApplyButton), Qt::LeftButton); });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); }); // bound the wait
    QCOMPARE(QCoreApplication::exec(), EXIT_FAILURE);
    QCOMPARE(watcher.titles, QStringList{"Tavorin Configurator"});
    QVERIFY(watcher.texts[0].contains("the settings store fell over"));
}

int main(int argc, char *argv[])
{
    Application app(argc, argv);
    tst_frmMain test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_frmmain.moc"
