// The profile format: how Setup.ini is read and edited, golden files
// included.

#include "filebytes.h"
#include "settings/profile.h"
#include "settings/profilefile.h"
#include "settings/saverecord.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string App = "App";

} // namespace

class tst_profile : public QObject {
    Q_OBJECT

private slots:
    void readValue_data();
    void readValue();
    void readFromFile();
    void readNeverCreatesOrBlocks();
    void writeGolden_data();
    void writeGolden();
    void writeReadsBack();
    void recordGolden_data();
    void recordGolden();
    void refusesLineBreaksAndBadNames_data();
    void refusesLineBreaksAndBadNames();
};

void tst_profile::readValue_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("expected");

    // Each as Tavorin reads it through the Windows profile functions.
    const auto value = [](const QByteArray &v) { return "[App]\r\nK=" + v + "\r\n"; };
    const struct {
        const char *name;
        QByteArray value;
        int expected;
    } values[] = {
        {"plain", "75", 75},
        {"blanks around", " 75 ", 75},
        {"tabs around", "\t9\t", 9},
        {"VT, FF and ^Z around",
         "\v\f\x1a"
         "8\x1a\f\v",
         8},
        {"leading zero is not octal", "075", 75},
        {"plus sign", "+5", 5},
        {"trailing letters", "75abc", 75},
        {"decimal point", "1.5", 1},
        {"double quotes", "\"7\"", 7},
        {"single quotes", "'7'", 7},
        {"unmatched quote", "\"7", 0},
        {"empty quotes give the default", "''", 42},
        {"note after value", "7 ; c", 7},
        {"hexadecimal", "0x10", 16},
        {"negative hexadecimal", "-0x10", -16},
        {"octal", "0o17", 15},
        {"binary", "0b101", 5},
        {"upper-case prefix is no prefix", "0X1f", 0},
        {"negative", "-5", -5},
        {"no digits", "abc", 0},
        {"two signs", "--5", 0},
        {"wraps to -1", "4294967295", -1},
        {"wraps to 0", "4294967296", 0},
        {"wraps to 1", "4294967297", 1},
        {"wraps to minimum", "2147483648", int(-2147483647 - 1)},
        {"only 29 characters count", QByteArray(29, '0') + "7", 0},
        {"29 characters are read", QByteArray(28, '0') + "7", 7},
        {"quoted, 29 inside: one is lost", "\"" + QByteArray(28, '1') + "7\"", 1461481927},
        {"control byte skipped",
         "\x01"
         "7",
         7},
        {"vertical tab trimmed", "\v7", 7},
        {"no-break space is no blank",
         "\xA0"
         "7",
         0},
        {"NUL first gives the default",
         QByteArray("\0"
                    "7",
                    2),
         42},
        {"NUL ends the value", QByteArray("\"5\"\0 x", 6), 5},
        {"empty value gives default", "", 42},
        {"blank value gives default", " \x1a ", 42},
    };
    for (const auto &v : values)
        QTest::newRow(v.name) << value(v.value) << "App"
                              << "K" << v.expected;

    QTest::newRow("names ignore case and blanks") << QByteArray("  [ app ]\r\n \tk \t= 9 \r\n") << "APP"
                                                  << "K" << 9;
    QTest::newRow("first of duplicate keys") << QByteArray("[App]\r\nK=1\r\nK=2\r\n[App]\r\nK=3\r\nJ=4\r\n") << "App"
                                             << "K" << 1;
    QTest::newRow("second section of a name is not read")
        << QByteArray("[App]\r\nK=1\r\nK=2\r\n[App]\r\nK=3\r\nJ=4\r\n") << "App"
        << "J" << 42;
    QTest::newRow("semicolon line is an entry") << QByteArray("[App]\r\n;K=1\r\n#K=3\r\n") << "App"
                                                << ";K" << 1;
    QTest::newRow("not the key after the semicolon") << QByteArray("[App]\r\n;K=1\r\n#K=3\r\n") << "App"
                                                     << "K" << 42;
    QTest::newRow("hash starts no comment") << QByteArray("[App]\r\n;K=1\r\n#K=3\r\n") << "App"
                                            << "#K" << 3;
    QTest::newRow("key before any section") << QByteArray("K=5\r\n[App]\r\nJ=1\r\n") << "App"
                                            << "K" << 42;
    QTest::newRow("the nameless section") << QByteArray("K=5\r\n[App]\r\nJ=1\r\n") << ""
                                          << "K" << 5;
    QTest::newRow("an empty header is never read") << QByteArray("[]\r\nK=5\r\n") << ""
                                                   << "K" << 42;
    QTest::newRow("LF endings") << QByteArray("[App]\nK=7\n") << "App"
                                << "K" << 7;
    QTest::newRow("CR endings") << QByteArray("[App]\rK=7\r") << "App"
                                << "K" << 7;
    QTest::newRow("no final line break") << QByteArray("[App]\r\nK=7") << "App"
                                         << "K" << 7;
    QTest::newRow("text after header") << QByteArray("[App] ; note\r\nK=1\r\n[X]Y]\r\nK=3\r\n") << "App"
                                       << "K" << 1;
    QTest::newRow("header ends at the last bracket") << QByteArray("[App] ; note\r\nK=1\r\n[X]Y]\r\nK=3\r\n") << "X]Y"
                                                     << "K" << 3;
    QTest::newRow("not at the first bracket") << QByteArray("[App] ; note\r\nK=1\r\n[X]Y]\r\nK=3\r\n") << "X"
                                              << "K" << 42;
    QTest::newRow("bracket without close is no header") << QByteArray("[App\r\nK=5\r\n") << "App"
                                                        << "K" << 42;
    QTest::newRow("nor does it end a section") << QByteArray("[App]\r\n[K=5\r\nK2=7\r\n") << "App"
                                               << "K2" << 7;
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF[App]\r\nK=7\r\n") << "App"
                                     << "K" << 7;
    QTest::newRow("UTF-16, little-endian")
        << QByteArray("\xFF\xFE[\0A\0p\0p\0]\0\r\0\n\0K\0=\0007\0\r\0\n\0", 26) << "App"
        << "K" << 7;
    QTest::newRow("UTF-16, big-endian") << QByteArray("\xFE\xFF\0[\0A\0p\0p\0]\0\r\0\n\0K\0=\0007\0\r\0\n", 26) << "App"
                                        << "K" << 7;
    QTest::newRow("UTF-16 without its mark is bytes")
        << QByteArray("[\0A\0p\0p\0]\0\r\0\n\0K\0=\0007\0\r\0\n\0", 24) << "App"
        << "K" << 42;
    QTest::newRow("ASCII letters fold") << QByteArray("[App]\r\nUSECARD=4\r\n") << "app"
                                        << "usecard" << 4;
    QTest::newRow("other letters do not fold") << QByteArray("[App]\r\nK\xC3\x84=1\r\nk\xC3\xA4=2\r\n") << "App"
                                               << "k\xC3\xA4" << 2;
    QTest::newRow("bracket inside a line is no header") << QByteArray("[Other]\r\nK=[App]\r\nJ=1\r\n") << "App"
                                                        << "J" << 42;
    QTest::newRow("bracket in a value before the section")
        << QByteArray("[X]\r\nV= [App]\r\n  [App]\r\nK=5\r\n") << "App"
        << "K" << 5;
    QTest::newRow("blanks before a header after a lone CR") << QByteArray("[X]\rK=1\r \t[App]\rK=7\r") << "App"
                                                            << "K" << 7;
    QTest::newRow("header as the first line") << QByteArray("  [App]\nK=3") << "App"
                                              << "K" << 3;
    QTest::newRow("key without equals hides the next") << QByteArray("[App]\r\nK\r\nK=2\r\n") << "App"
                                                       << "K" << 42;
    QTest::newRow("NUL in another value") << QByteArray("[App]\r\nX=\0\r\nK=3\r\n", 17) << "App"
                                          << "K" << 3;
    QTest::newRow("NUL ends a key") << QByteArray("[App]\r\nK\0J=3\r\n", 14) << "App"
                                    << "K" << 3;
    QTest::newRow("NUL ends a section name") << QByteArray("[App\0x]\r\nK=3\r\n", 14) << "App"
                                             << "K" << 3;
}

void tst_profile::readValue()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(int, expected);

    QCOMPARE(profile::intValue(std::string_view(content.constData(), size_t(content.size())), section.toStdString(),
                               key.toStdString(), 42),
             expected);
}

void tst_profile::readFromFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    setFileBytes(path, "[Tavorin]\r\nUseCard=3\r\n");
    QCOMPARE(profilefile::readInt(sp(path), "Tavorin", "UseCard", 1), 3);
    QCOMPARE(profilefile::readInt(sp(path), "Tavorin", "UseDepth", 16), 16);
    QCOMPARE(profilefile::readInt(sp(path), "Other", "UseCard", 1), 1);
}

void tst_profile::readNeverCreatesOrBlocks()
{
    QTemporaryDir dir;
    const QString missing = dir.filePath("Setup.ini");
    QCOMPARE(profilefile::readInt(sp(missing), App, "K", 42), 42);
    QVERIFY(!QFile::exists(missing));

    // A FIFO would block an ordinary open until a writer came; a directory
    // or a device is no settings file. Each reads as absent.
    const QString fifo = dir.filePath("fifo.ini");
    QCOMPARE(::mkfifo(sp(fifo).c_str(), 0644), 0);
    QCOMPARE(profilefile::readInt(sp(fifo), App, "K", 42), 42);
    QCOMPARE(profilefile::readInt(sp(dir.path()), App, "K", 42), 42);
    QCOMPARE(profilefile::readInt("/dev/zero", App, "K", 42), 42);
}

void tst_profile::writeGolden_data()
{
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<QStringList>("writes"); // "section|key|value"

    QTest::newRow("existing key keeps its spelling") << "replace-keeps-spelling" << QStringList{"APP|k|9"};
    QTest::newRow("new key after the section's last key") << "new-key-after-last-key" << QStringList{"App|N|2"};
    QTest::newRow("new section after an unterminated line")
        << "new-section-after-unterminated-line" << QStringList{"B|K|2"};
    QTest::newRow("LF file, empty value") << "lf-file-empty-value" << QStringList{"A|L|"};
    QTest::newRow("only the first duplicate changes") << "duplicates-first-only" << QStringList{"A|K|9"};
    QTest::newRow("byte-order mark kept") << "byte-order-mark-kept" << QStringList{"App|K|8"};
    QTest::newRow("lone CR line endings") << "lone-cr-file" << QStringList{"A|L|2"};
    QTest::newRow("key under an unterminated header") << "unterminated-header" << QStringList{"A|K|1"};
    QTest::newRow("blanks around names") << "blanks-around-names" << QStringList{"A|K|5"};
    QTest::newRow("new file") << "new-file" << QStringList{"App|K|1"};
    QTest::newRow("key without equals") << "key-without-equals" << QStringList{"App|K|9"};
    QTest::newRow("bracket without close is no header") << "bracket-without-close" << QStringList{"App|K|2"};
    QTest::newRow("bracket inside a header") << "bracket-inside-header" << QStringList{"App|K|2"};
    QTest::newRow("the nameless section") << "nameless-section" << QStringList{"|K|5"};
    QTest::newRow("UTF-16 from Notepad stays UTF-16") << "utf16le-notepad" << QStringList{"A|K|2"};
    QTest::newRow("UTF-16, big-endian, new key") << "utf16be-new-key" << QStringList{"A|L|ä"};
    QTest::newRow("new file, two sections")
        << "new-file-two-sections" << QStringList{"App1|key1|a", "App1|key2|b", "App2|key3|c"};
    QTest::newRow("five settings into a hand-edited file")
        << "apply-into-hand-edited-file"
        << QStringList{"Tavorin|UseCard|2", "Tavorin|UseDepth|24", "Tavorin|SyncRate|75", "Tavorin|ShowHelp|0",
                       "Tavorin|ShowMode|-1"};
}

void tst_profile::writeGolden()
{
    QFETCH(QString, fixture);
    QFETCH(QStringList, writes);

    const QDir data(QFINDTESTDATA("data"));
    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    if (data.exists(fixture + ".ini"))
        QVERIFY(QFile::copy(data.filePath(fixture + ".ini"), path));

    for (const QString &write : writes) {
        const QStringList parts = write.split('|');
        const auto error = profilefile::writeString(sp(path), parts[0].toStdString(), parts[1].toStdString(),
                                                    parts[2].toStdString());
        QVERIFY2(!error, error ? error->c_str() : "");
    }
    QCOMPARE(fileText(path), fileText(data.filePath(fixture + ".expected.ini")));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"Setup.ini"}); // no temporary file left behind
}

void tst_profile::recordGolden_data()
{
    // "[A]\r\nK=1\r\n" becoming "[A]\r\nK=22\r\n", in bytes and in UTF-16BE.
    QTest::addColumn<bool>("utf16");
    QTest::addColumn<QString>("golden");
    QTest::newRow("bytes") << false << "record-bytes.golden";
    QTest::newRow("UTF-16BE") << true << "record-utf16be.golden";
}

void tst_profile::recordGolden()
{
    // The record of a save in place, as it stands in the file; found past
    // the content, it completes the change. Marked finished (it could not
    // be cut off), it only goes: K=1, set back in place since, stays.
    QFETCH(bool, utf16);
    QFETCH(QString, golden);
    const auto text = [&](const std::string &ascii) {
        std::string bytes = utf16 ? "\xFE\xFF" : "";
        for (const char c : ascii)
            bytes += utf16 ? std::string{'\0', c} : std::string{c};
        return bytes;
    };
    const std::string old = text("[A]\r\nK=1\r\n"), now = text("[A]\r\nK=22\r\n");
    const size_t cut = utf16 ? 16 : 7;
    saverecord::Record record{cut, old.size(), now.size()};
    record.prefixSum = saverecord::checksum(old.substr(0, cut));
    record.before = old.substr(cut);
    record.after = now.substr(cut);
    const std::string pages = saverecord::layout(record, utf16 ? content::Encoding::Utf16BE : content::Encoding::Bytes);
    QCOMPARE(pages, fileText(QFINDTESTDATA("data/" + golden)));
    std::string file = old;
    file.resize(saverecord::startOf(old.size(), now.size()), '\0');
    file += pages;
    QCOMPARE(saverecord::repaired(file, saverecord::unfinished(file).value()), now);
    const std::string edited = text("[A]\r\nK=1\r\n");
    file.replace(0, now.size(), edited + std::string(now.size() - edited.size(), '\0'));
    file[saverecord::startOf(old.size(), now.size()) + saverecord::markOffset(saverecord::encodingOf(file))]
        = saverecord::Finished;
    QCOMPARE(saverecord::repaired(file, saverecord::unfinished(file).value()), edited);
}

void tst_profile::writeReadsBack()
{
    QTemporaryDir dir;
    const std::string path = sp(dir.filePath("Setup.ini"));
    for (const char *value : {"5", "-1", "", "0"}) {
        QVERIFY(!profilefile::writeString(path, "Tavorin", "UseCard", value));
        QCOMPARE(profilefile::readInt(path, "Tavorin", "UseCard", 99), *value ? std::stoi(value) : 99);
    }
    QCOMPARE(fileText(QString::fromStdString(path)), std::string("[Tavorin]\r\nUseCard=0\r\n"));

    // Names given with blanks around them are written without, as they
    // match: writing again finds the same line and changes nothing.
    const QString spaced = dir.filePath("spaced.ini");
    for (int time = 0; time < 2; ++time) {
        QVERIFY(!profilefile::writeString(sp(spaced), " Tavorin ", "\tSyncRate ", "7"));
        QCOMPARE(fileText(spaced), std::string("[Tavorin]\r\nSyncRate=7\r\n"));
    }
}

void tst_profile::refusesLineBreaksAndBadNames_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("reason");

    QTest::newRow("CRLF and a section in the value") << "A"
                                                     << "K"
                                                     << "x\r\n[B]"
                                                     << "line break";
    QTest::newRow("LF in the value") << "A"
                                     << "K"
                                     << "x\nK=2"
                                     << "line break";
    QTest::newRow("CR in the value") << "A"
                                     << "K"
                                     << "x\r"
                                     << "line break";
    QTest::newRow("line break in the key") << "A"
                                           << "K\n"
                                           << "1"
                                           << "key name";
    QTest::newRow("equals sign in the key") << "A"
                                            << "K=1"
                                            << "1"
                                            << "key name";
    QTest::newRow("empty key") << "A"
                               << " "
                               << "1"
                               << "key name";
    QTest::newRow("key read as a comment") << "A"
                                           << ";K"
                                           << "1"
                                           << "key name";
    QTest::newRow("bracket in the section") << "A]B"
                                            << "K"
                                            << "1"
                                            << "section name";
    QTest::newRow("key read as a section") << "A"
                                           << "[K"
                                           << "1"
                                           << "key name";
    QTest::newRow("NUL in the value") << "A"
                                      << "K" << QString(QChar(0)) + "x"
                                      << "NUL";
}

void tst_profile::refusesLineBreaksAndBadNames()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    const QString path = dir.filePath("Setup.ini");
    setFileBytes(path, "[A]\r\nK=1\r\n");
    const auto error
        = profilefile::writeString(sp(path), section.toStdString(), key.toStdString(), value.toStdString());
    QVERIFY(error);
    QVERIFY2(QString::fromStdString(*error).contains(path), error->c_str());
    QVERIFY2(QString::fromStdString(*error).contains(reason), error->c_str());
    QCOMPARE(fileText(path), std::string("[A]\r\nK=1\r\n"));
}

QTEST_APPLESS_MAIN(tst_profile)
#include "tst_profile.moc"
