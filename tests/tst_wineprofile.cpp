// The profile layer against the Windows profile functions that Tavorin
// reads Setup.ini with: GetPrivateProfileIntA and WritePrivateProfileStringA,
// run under Wine by a small Windows program (wine_profile.c). On the test
// vectors of the format and on thousands of generated files:
// - every read gives Wine's number;
// - after every write, every key of the file reads the same through Wine
//   as after Wine's own write of it, and the same through our reader.
// Every difference fails, except where the layer deliberately does better
// (Ours, below), each counted by name.

#include "settings/profile.h"
#include "settings/profilefile.h"
#include "system/wine.h"
#include "childprocess.h"
#include "filebytes.h"
#include "syscalls.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cctype>
#include <map>
#include <random>
#include <set>

using namespace wine;

namespace {

// A write that the layer refuses, leaving the file as it was, where the
// Windows functions would store something that does not read back as
// written (or, for a NUL, cannot even be passed to them).
const char *const Ours[] = {
    "line break in a name or value", "NUL in a name or value", "']' in a section name", "empty key", "'=' in a key",
    "key starting with ';'",         "key starting with '['",
};

// Which of Ours applies to a write, independently of the layer's own check.
const char *oursFor(const std::string &section, const std::string &key, const std::string &value)
{
    const auto has = [](const std::string &text, const char *bytes, size_t count) {
        return text.find_first_of(std::string(bytes, count)) != std::string::npos;
    };
    const auto isWhite = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; };
    std::string name = key;
    while (!name.empty() && isWhite(name.front()))
        name.erase(0, 1);
    while (!name.empty() && isWhite(name.back()))
        name.pop_back();
    if (has(section, "\r\n", 2) || has(key, "\r\n", 2) || has(value, "\r\n", 2))
        return Ours[0];
    if (has(section, "", 1) || has(key, "", 1) || has(value, "", 1))
        return Ours[1];
    if (has(section, "]", 1))
        return Ours[2];
    if (name.empty())
        return Ours[3];
    if (has(key, "=", 1))
        return Ours[4];
    if (name.front() == ';')
        return Ours[5];
    if (name.front() == '[')
        return Ours[6];
    return nullptr;
}

struct Write {
    std::string section, key, value;
};

// A file (or none) and what is done to it: every section of `sections`
// with every key of `keys` is read, before and after the write.
struct Case {
    std::string name;
    std::optional<std::string> content;
    std::vector<std::string> sections, keys;
    std::optional<Write> write;
};

QByteArray hex(const std::string &bytes)
{
    return bytes.empty() ? QByteArray(".") : QByteArray::fromStdString(bytes).toHex();
}

std::string utf16(const std::string &utf8, bool bigEndian)
{
    const QString text = QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const QChar c : text) {
        const char high = char(c.unicode() >> 8), low = char(c.unicode() & 0xFF);
        out += bigEndian ? high : low;
        out += bigEndian ? low : high;
    }
    return out;
}

// The test vectors of the format, as files and operations.
std::vector<Case> vectors()
{
    std::vector<Case> cases;
    const auto read = [&](std::string name, std::optional<std::string> content, std::vector<std::string> sections,
                          std::vector<std::string> keys) {
        cases.push_back({std::move(name), std::move(content), std::move(sections), std::move(keys), std::nullopt});
    };
    const auto write = [&](std::string name, std::optional<std::string> content, Write w) {
        cases.push_back({std::move(name), std::move(content), {w.section, "App", "A", "B"}, {w.key, "K", "J", "L"}, w});
    };
    const std::string values[] = {"75",
                                  " 75 ",
                                  "\t9\t",
                                  "075",
                                  "+5",
                                  "75abc",
                                  "1.5",
                                  "\"7\"",
                                  "'7'",
                                  "7 ; c",
                                  "0x10",
                                  "-0x10",
                                  "0b101",
                                  "-5",
                                  "abc",
                                  "--5",
                                  "''",
                                  "4294967295",
                                  "4294967296",
                                  "4294967297",
                                  "2147483648",
                                  std::string(29, '0') + "7",
                                  "\x0b"
                                  "7",
                                  "\x01"
                                  "7",
                                  std::string("\0"
                                              "7",
                                              2)};
    for (const std::string &v : values)
        read("value " + v, "[App]\r\nK=" + v + "\r\n", {"App"}, {"K"});
    read("no file", std::nullopt, {"App"}, {"K"});
    read("blanks and case", "  [ app ]\r\n \tk \t= 9 \r\n", {"APP"}, {"K"});
    read("duplicates", "[App]\r\nK=1\r\nK=2\r\n[App]\r\nK=3\r\nJ=4\r\n", {"App"}, {"K", "J"});
    read("comments", "[App]\r\n;K=1\r\n#K=3\r\n", {"App"}, {"K", "#K", ";K"});
    read("nameless section", "K=5\r\n[App]\r\nJ=1\r\n", {"App", ""}, {"K"});
    for (const char *eol : {"\n", "\r", ""})
        read("line ending", std::string("[App]") + (*eol ? eol : "\r\n") + "K=7" + eol, {"App"}, {"K"});
    read("headers", "[App] ; note\r\nK=1\r\n[X]Y]\r\nK=3\r\n", {"App", "X", "X]Y"}, {"K"});
    read("no closing bracket", "[App\r\nK=5\r\n", {"App"}, {"K"});
    read("bracket line in a section", "[App]\r\n[K=5\r\nK2=7\r\n", {"App"}, {"K2"});
    read("key without equals", "[App]\r\nK\r\nK=5\r\n", {"App"}, {"K"});
    read("UTF-8 mark", "\xEF\xBB\xBF[App]\r\nK=7\r\n", {"App"}, {"K"});
    read("UTF-16", utf16("[App]\r\nK=7\r\n", false), {"App"}, {"K"});
    write("new file", std::nullopt, {"App", "K", "1"});
    write("existing key", "; head\r\n[App]\r\nK=1\r\nL=2\r\n[B]\r\nM=3\r\n", {"APP", "k", "9"});
    write("new key", "[App]\r\nK=1\r\n;c\r\n\r\n[B]\r\nM=3\r\n", {"App", "N", "2"});
    write("new section", "[A]\r\nK=1", {"B", "K", "2"});
    write("empty value", "[A]\nK=1\n", {"A", "L", ""});
    write("duplicates", "[A]\r\nK=1\r\nK=2\r\n[A]\r\nL=2\r\n", {"A", "K", "9"});
    write("no closing bracket", "[App\r\nJ=1\r\n", {"App", "K", "2"});
    write("key without equals", "[App]\r\nK\r\nJ=1\r\n", {"App", "K", "9"});
    write("bracket after the header", "[App]x]\r\nJ=1\r\n", {"App", "K", "2"});
    write("UTF-16", utf16("[A]\r\nK=1\r\n", false), {"A", "K", "2"});
    write("line break", "[A]\r\nK=1\r\n", {"A", "K", "x\r\n[B]"});
    write("bracket in the section", "[A]\r\nK=1\r\n", {"A]B", "K", "7"});
    write("equals in the key", "[A]\r\nK=1\r\n", {"A", "K=J", "7"});
    write("semicolon key", "[A]\r\nK=1\r\n", {"A", ";K", "7"});
    return cases;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Files and operations made at random, to cover what users and editors do
// to a settings file: every feature of the format, in every encoding.
class Generator {
public:
    explicit Generator(unsigned seed)
        : m_random(seed)
    {
    }

    Case next(int number)
    {
        Case c;
        c.name = "generated " + std::to_string(number);
        c.sections = pick({"Tavorin", "App", "a"}, 2);
        c.sections.push_back("");
        c.keys = pick({"UseCard", "K", "k", "J", "SyncRate", "#K", ";K"}, 3);
        const int encoding = chance(100);
        const bool unicode = encoding >= 70;
        std::string text;
        const int lines = chance(13);
        const char *eol = choose<const char *>({"\r\n", "\r\n", "\n", "\r"});
        for (int i = 0; i < lines; ++i) {
            text += line(c, unicode);
            text += chance(10) == 0 ? choose<const char *>({"\r\n", "\n", "\r", "\n\r"}) : eol;
        }
        if (chance(5) == 0 && !text.empty())
            text.resize(text.size()
                        - (text.back() == '\n' && text.size() > 1 && text[text.size() - 2] == '\r' ? 2 : 1));
        if (encoding < 65)
            c.content = text;
        else if (encoding < 70)
            c.content = chance(2) ? std::optional<std::string>() : std::string();
        else if (encoding < 78)
            c.content = "\xEF\xBB\xBF" + text;
        else
            c.content = utf16(text, encoding >= 92);
        if (chance(5) != 0) {
            Write w;
            w.section = chance(8) == 0 ? "" : padded(choose(c.sections + std::vector<std::string>{"New"}));
            w.key = chance(12) == 0 ? choose<std::string>({"", ";K", "[K", "K=J", "K\rJ", std::string("K\0", 2)})
                                    : padded(choose(c.keys + std::vector<std::string>{"Fresh"}));
            w.value = chance(12) == 0 ? choose<std::string>({"", " 12 ", "\"13\"", "x\r\n[B]",
                                                             std::string("1\0"
                                                                         "4",
                                                                         3)})
                                      : std::to_string(int(m_random() % 100000) - 50000);
            c.keys.push_back(w.key);
            c.sections.push_back(w.section);
            c.write = w;
        }
        return c;
    }

private:
    int chance(int n) { return int(m_random() % unsigned(n)); }

    template <typename T> T choose(const std::vector<T> &from) { return from[m_random() % from.size()]; }

    std::vector<std::string> pick(std::vector<std::string> from, size_t count)
    {
        std::shuffle(from.begin(), from.end(), m_random);
        from.resize(count);
        return from;
    }

    std::string white() { return choose<std::string>({"", "", "", " ", "\t", " \t", "\v", "\f", "\x1a", "\x1c"}); }

    // A name in another letter case, or with blanks around it.
    std::string padded(std::string name)
    {
        if (chance(4) == 0)
            for (char &ch : name)
                ch = char(chance(2) ? std::toupper(ch) : std::tolower(ch));
        return chance(6) == 0 ? white() + name + white() : name;
    }

    std::string value()
    {
        const std::string digits = std::to_string(m_random() % 4000000000u);
        switch (chance(14)) {
        case 0:
            return "";
        case 1:
            return choose<std::string>({"-", "+", "--"}) + digits;
        case 2:
            return choose<std::string>({"0x", "0X", "0o", "0b", "-0x", "0x-"})
                 + choose<std::string>({"1f", "17", "101", "FFFFFFFFF", ""});
        case 3:
            return std::string(size_t(24 + chance(10)), '0') + choose<std::string>({"7", "12", "1"});
        case 4: {
            const std::string q = choose<std::string>({"\"", "'"});
            return q + std::string(size_t(chance(33)), '1') + choose<std::string>({q, "", "\"'"});
        }
        case 5:
            return choose<std::string>({"\x01", "\x1f", "\xa0", "\x1c", "\x7f"}) + digits;
        case 6:
            return digits + std::string("\0", 1) + digits;
        case 7:
            return std::string("\0", 1) + digits;
        case 8:
            return digits + choose<std::string>({" ; note", "abc", ".5", "=3", "\""});
        case 9:
            return choose<std::string>({"\"", "'", "\"\"", "''", "\" 7 \"", "'\"5\"'"});
        default:
            return digits;
        }
    }

    std::string line(const Case &c, bool unicode)
    {
        const std::string section = choose(c.sections + std::vector<std::string>{"Other", "X]Y"});
        const std::string key = choose(c.keys + std::vector<std::string>{"Other"});
        switch (chance(12)) {
        case 0:
        case 1:
            return white() + "[" + white() + padded(section) + white()
                 + choose<std::string>({"]", "]", "]", "", "] ; note", "]x]", std::string("\0]", 2)});
        case 2:
            return choose<std::string>({"", ";", "#", "[", " "}) + "; "
                 + (unicode ? "Gr\xC3\xBC\xC3\x9F\x65" : "note \xE4");
        case 3:
            return white();
        case 4:
            return white() + padded(key) + white();
        case 5:
            return white() + std::string("\0", 1) + padded(key) + "=" + value();
        default:
            return white() + choose<std::string>({"", "", "", ";", "#", "["}) + padded(key) + white() + "=" + white()
                 + value() + white();
        }
    }

    std::mt19937 m_random;
};

} // namespace

class tst_WineProfile : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void agreesWithWine();
    void unfinishedSavesReadAsBeforeOrAfter();

private:
    // Runs the Windows program on the commands, one answer a command.
    QStringList wine(const QByteArray &commands);
    QProcessEnvironment wineEnvironment() const;

    QTemporaryDir m_dir;
    WineStart m_start; // how Run would start this 64-bit program
};

QProcessEnvironment tst_WineProfile::wineEnvironment() const
{
    // A private prefix, and nothing written outside this test's folder: no
    // menu entries, no downloads, no server folder in /tmp.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const std::string &entry : m_start.environment) {
        const QString text = QString::fromStdString(entry);
        environment.insert(text.section('=', 0, 0), text.section('=', 1));
    }
    environment.insert("WINEPREFIX", m_dir.filePath("prefix"));
    environment.insert("HOME", m_dir.filePath("home"));
    environment.insert("TMPDIR", m_dir.filePath("tmp"));
    environment.insert("WINEDEBUG", "-all");
    environment.insert("WINEDLLOVERRIDES", "winemenubuilder.exe=d;mscoree=;mshtml=");
    environment.insert("LC_ALL", "C");
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    return environment;
}

void tst_WineProfile::initTestCase()
{
    const QString wine = QStandardPaths::findExecutable("wine");
    QVERIFY2(!wine.isEmpty(), "wine is not installed (Debian's package wine)");
    // Through the loader that Run would start it with: on a computer that
    // runs no 32-bit programs, Debian's script would fail with 32-bit Wine
    // installed.
    const WineInstall install = wineInstallAt(QFile::encodeName(wine).toStdString());
    m_start = wineStartFor({WindowsKind::Win32, MachineAmd64}, install, abilitiesOf(install, 20000));
    qInfo("Wine's profile functions run through %s", m_start.program.c_str());
    for (const char *folder : {"home", "tmp", "files"})
        QVERIFY(QDir(m_dir.path()).mkdir(folder));
}

void tst_WineProfile::cleanupTestCase()
{
    // Stop every Wine process of the private prefix.
    QProcess server;
    server.setProcessEnvironment(wineEnvironment());
    server.start("wineserver", {"-k"});
    server.waitForFinished(60000);
}

QStringList tst_WineProfile::wine(const QByteArray &commands)
{
    QProcess process;
    process.setProcessEnvironment(wineEnvironment());
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QFile::decodeName(m_start.program.c_str()), {WINE_PROFILE});
    if (!process.waitForStarted(30000))
        return {};
    process.write(commands);
    process.closeWriteChannel();
    // The first run creates the prefix, which takes a while.
    if (!process.waitForFinished(600000)) {
        process.kill();
        process.waitForFinished(10000);
        return {};
    }
    // The C library of Windows ends its lines with CRLF.
    return QString::fromLatin1(process.readAllStandardOutput()).split("\r\n", Qt::SkipEmptyParts);
}

void tst_WineProfile::agreesWithWine()
{
    bool seeded = false;
    const unsigned seed = qEnvironmentVariableIntValue("TAVORIN_DIFF_SEED", &seeded);
    const unsigned used = seeded ? seed : std::random_device{}();
    const int generatedCount = 2000;
    std::vector<Case> cases = vectors();
    const size_t vectorCount = cases.size();
    Generator generator(used);
    for (int n = 0; n < generatedCount; ++n)
        cases.push_back(generator.next(n));

    const int Default = -777;
    const QDir files(m_dir.filePath("files"));
    const auto unixPath = [&](size_t i, const char *kind) {
        return files.filePath(QString("%1%2.ini").arg(kind).arg(i)).toStdString();
    };
    const auto windowsPath = [&](size_t i, const char *kind) {
        return "Z:" + QByteArray::fromStdString(unixPath(i, kind)).replace('/', '\\');
    };
    const auto put = [](const std::string &path, const std::optional<std::string> &content) {
        QFile file(QString::fromStdString(path));
        if (content && file.open(QIODevice::WriteOnly))
            file.write(content->data(), qint64(content->size()));
    };

    // Wine first reads every file ("in") and writes its copy ("w"), while we
    // write ours ("o"); then it reads both written files afresh, and the
    // written value alone in a file of the same encoding ("ref").
    struct Commands {
        QByteArray text;
        int add(const std::string &section, const std::string &key, const QByteArray &path)
        {
            text += "R " + hex(section) + " " + hex(key) + " -777 " + path + "\n";
            return count++;
        }
        int count = 0;
    } before, after;
    struct Probe {
        std::string section, key;
        int ours = 0, wineBefore = 0; // reads of "in"
        int oursAfter = 0, wineW = 0, wineO = 0; // reads of "o" by us, of "w" and "o" by Wine
    };
    struct Outcome {
        std::vector<Probe> probes;
        std::optional<std::string> refusal;
        int wineWrite = -1, reference = -1;
    };
    std::vector<Outcome> outcomes(cases.size());
    int writes = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        Outcome &o = outcomes[i];
        put(unixPath(i, "in"), c.content);
        for (const std::string &section : c.sections)
            for (const std::string &key : c.keys)
                o.probes.push_back({section, key, profilefile::readInt(unixPath(i, "in"), section, key, Default),
                                    before.add(section, key, windowsPath(i, "in"))});
        if (!c.write)
            continue;
        ++writes;
        const Write &w = *c.write;
        put(unixPath(i, "w"), c.content);
        put(unixPath(i, "o"), c.content);
        o.refusal = profilefile::writeString(unixPath(i, "o"), w.section, w.key, w.value);
        if (oursFor(w.section, w.key, w.value))
            continue; // refused by us, as checked below
        before.text += "W " + hex(w.section) + " " + hex(w.key) + " " + hex(w.value) + " " + windowsPath(i, "w") + "\n";
        o.wineWrite = before.count++;
        const std::string reference = "[Ref]\r\nKey=" + w.value + "\r\n";
        const std::string content = c.content.value_or("");
        put(unixPath(i, "ref"), content.substr(0, 3) == "\xEF\xBB\xBF" ? "\xEF\xBB\xBF" + reference
                                : content.substr(0, 2) == "\xFF\xFE"   ? utf16(reference, false)
                                : content.substr(0, 2) == "\xFE\xFF"   ? utf16(reference, true)
                                                                       : reference);
        o.reference = after.add("Ref", "Key", windowsPath(i, "ref"));
        for (Probe &probe : o.probes) {
            probe.oursAfter = profilefile::readInt(unixPath(i, "o"), probe.section, probe.key, Default);
            probe.wineW = after.add(probe.section, probe.key, windowsPath(i, "w"));
            probe.wineO = after.add(probe.section, probe.key, windowsPath(i, "o"));
        }
    }
    const QStringList first = wine(before.text);
    QCOMPARE(first.size(), before.count);
    const QStringList second = wine(after.text);
    QCOMPARE(second.size(), after.count);

    // Whether a probe names the written key, as the functions match names.
    const auto sameName = [](std::string a, std::string b) {
        for (std::string *name : {&a, &b}) {
            name->resize(std::min(name->size(), name->find('\0')));
            const auto white = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; };
            while (!name->empty() && white(name->front()))
                name->erase(0, 1);
            while (!name->empty() && white(name->back()))
                name->pop_back();
            for (char &c : *name)
                c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        return a == b;
    };

    std::map<std::string, int> explained;
    const std::string KeptByUs = "a key that Wine's own write changes, kept by the smallest edit";
    const std::string WineLost = "a written key that Wine's own write loses, kept by ours";
    int agree = 0, reads = 0, readBacks = 0;
    QStringList unexplained;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        const Outcome &o = outcomes[i];
        const auto differs = [&](const std::string &section, const std::string &key, const QString &what) {
            unexplained << QString("%1 (file %2, [%3] %4): %5")
                               .arg(QString::fromStdString(c.name),
                                    QByteArray::fromStdString(c.content.value_or("<none>")).toPercentEncoding(" []=;"),
                                    QByteArray::fromStdString(section).toPercentEncoding(" "),
                                    QByteArray::fromStdString(key).toPercentEncoding(" "), what);
        };
        for (const Probe &probe : o.probes) {
            ++reads;
            const int theirs = first[probe.wineBefore].toInt();
            if (theirs == probe.ours)
                ++agree;
            else
                differs(probe.section, probe.key, QString("we read %1, Wine %2").arg(probe.ours).arg(theirs));
        }
        if (!c.write)
            continue;
        const Write &w = *c.write;
        if (const char *reason = oursFor(w.section, w.key, w.value)) {
            QFile file(QString::fromStdString(unixPath(i, "o")));
            const bool unchanged = c.content
                                     ? file.open(QIODevice::ReadOnly) && file.readAll().toStdString() == *c.content
                                     : !file.exists();
            if (o.refusal && unchanged)
                ++explained[reason];
            else
                differs(w.section, w.key, QString("a write that must be refused (%1) was not").arg(reason));
            continue;
        }
        if (first[o.wineWrite] != "1" || o.refusal) {
            differs(w.section, w.key,
                    QString("ours %1, Wine's %2")
                        .arg(QString::fromStdString(o.refusal.value_or("saved")),
                             first[o.wineWrite] == "1" ? "saved" : "failed"));
            continue;
        }
        const int written = second[o.reference].toInt();
        for (const Probe &probe : o.probes) {
            ++readBacks;
            const int wineW = second[probe.wineW].toInt(), wineO = second[probe.wineO].toInt();
            // The written key reads as its value alone would; every other key
            // as it did before.
            const bool isWritten = sameName(probe.section, w.section) && sameName(probe.key, w.key);
            const int expected = isWritten ? written : first[probe.wineBefore].toInt();
            if (probe.oursAfter != wineO || wineO != expected) {
                differs(probe.section, probe.key,
                        QString("after writing %1=%2 in [%3]: Wine reads %4 from our file, "
                                "we read %5, expected %6")
                            .arg(QString::fromStdString(w.key), QString::fromStdString(w.value),
                                 QString::fromStdString(w.section))
                            .arg(wineO)
                            .arg(probe.oursAfter)
                            .arg(expected));
                continue;
            }
            ++agree;
            if (wineW != wineO)
                ++explained[isWritten ? WineLost : KeptByUs];
        }
    }

    QStringList ours;
    int oursTotal = 0;
    for (const std::string &name :
         std::vector<std::string>(std::begin(Ours), std::end(Ours)) + std::vector{KeptByUs, WineLost}) {
        ours << QString("%1 %2").arg(explained[name]).arg(QString::fromStdString(name));
        oursTotal += explained[name];
    }
    qInfo("differential against Wine's profile functions, seed %u (TAVORIN_DIFF_SEED=%u repeats it): "
          "%zu vectors and %d generated files, %d reads, %d writes, %d keys read back after them",
          used, used, vectorCount, generatedCount, reads, writes, readBacks);
    qInfo("where ours differs from Wine by design: %d (%s)", oursTotal, qPrintable(ours.join(", ")));
    qInfo("%d agree, %lld unexplained", agree, qsizetype(unexplained.size()));
    for (const QString &line : unexplained.mid(0, 20))
        qWarning("%s", qPrintable(line));
    QVERIFY(writes > generatedCount / 2);
    QCOMPARE(unexplained.size(), 0);
}

void tst_WineProfile::unfinishedSavesReadAsBeforeOrAfter()
{
    // A save in place (of a hard-linked file), stopped at each of its
    // writes and flushes in turn: killed before it, or halfway through a
    // write. In a file of each encoding, between those steps and after the
    // kill, Wine reads every key of every section as it was before or as it
    // was to become, and at most sections of the save's own after all of
    // the file's sections.
    const std::string text = "; kept by hand\r\n[Display]\r\nWidth=640\r\n[Tavorin]\r\nUseCard=1\r\nUseDepth=16\r\n"
                             "SyncRate=0\r\n\r\n[Sound]\r\nVolume=7"; // its last line unterminated
    const std::pair<std::string, std::string> writes[] = {{"SyncRate", "12345"}, {"UseDepth", "8"}}; // longer, shorter
    const QDir files(m_dir.filePath("files"));
    const auto windowsPath
        = [&](const QString &name) { return "Z:" + QFile::encodeName(files.filePath(name)).replace('/', '\\'); };
    QByteArray commands;
    struct State {
        QString name;
        int answer = 0, before = 0, after = 0; // its answer, and those for the file before and after the save
    };
    std::vector<State> states;
    int answers = 0;
    for (const auto &variant : {std::pair{"bytes", text}, std::pair{"UTF-16LE", utf16(text, false)},
                                std::pair{"UTF-16BE", utf16(text, true)}}) {
        const char *const encoding = variant.first;
        const std::string &content = variant.second;
        for (const auto &write : writes) {
            const std::string &key = write.first, &value = write.second;
            const QString tag = QString("%1-%2").arg(encoding, QString::fromStdString(key));
            const auto put = [&](const QString &name) {
                QFile file(files.filePath(name));
                QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
                QCOMPARE(file.write(content.data(), qint64(content.size())), qint64(content.size()));
            };
            put(tag + "-before.ini");
            put(tag + "-after.ini");
            QVERIFY(!profilefile::writeString(sp(files.filePath(tag + "-after.ini")), "Tavorin", key, value));
            const int before = answers, after = answers + 1;
            commands += "S " + windowsPath(tag + "-before.ini") + "\nS " + windowsPath(tag + "-after.ini") + "\n";
            answers += 2;
            // The save's steps, seen once in full.
            put(tag + "-steps.ini");
            QCOMPARE(::link(sp(files.filePath(tag + "-steps.ini")).c_str(), sp(files.filePath(tag + ".link")).c_str()),
                     0);
            const QStringList steps
                = QString::fromStdString(writeInChild(
                                             [&]() -> std::optional<std::string> {
                                                 syscalls::start();
                                                 profilefile::writeString(sp(files.filePath(tag + "-steps.ini")),
                                                                          "Tavorin", key, value);
                                                 std::string calls;
                                                 for (const std::string &call : syscalls::calls)
                                                     calls += call + "\n";
                                                 return calls;
                                             },
                                             std::nullopt))
                      .split('\n', Qt::SkipEmptyParts);
            QFile::remove(files.filePath(tag + ".link"));
            QVERIFY(steps.size() >= 6);
            for (size_t step = 1; step <= size_t(steps.size()); ++step) {
                // Halfway only through a write past the content's end: a
                // killed writer's write within a page is made whole first,
                // and a change cut short within the content is completed
                // by the next save.
                const QString call = steps[int(step) - 1];
                const bool pastTheEnd = call.startsWith("pwrite ") && call.mid(7).toULongLong() >= content.size();
                for (const int stop : {-1, 0}) {
                    if (stop == 0 && !pastTheEnd)
                        continue;
                    const QString name
                        = QString("%1-%2%3.ini").arg(tag).arg(step).arg(stop < 0 ? "-before" : "-halfway");
                    put(name);
                    QCOMPARE(::link(sp(files.filePath(name)).c_str(), sp(files.filePath(name + ".link")).c_str()), 0);
                    writeInChild(
                        [&]() -> std::optional<std::string> {
                            syscalls::start(step, stop);
                            return profilefile::writeString(sp(files.filePath(name)), "Tavorin", key, value);
                        },
                        std::nullopt);
                    QFile::remove(files.filePath(name + ".link"));
                    states.push_back({name, answers, before, after});
                    commands += "S " + windowsPath(name) + "\n";
                    ++answers;
                }
            }
        }
    }
    const QStringList read = wine(commands);
    QCOMPARE(read.size(), answers);

    // Each answer as its sections in order, each with its keys' values.
    using Sections = std::vector<std::pair<QByteArray, std::map<QByteArray, QByteArray>>>;
    const auto parse = [](const QString &answer) {
        Sections sections;
        for (const QString &part : answer.split(' ', Qt::SkipEmptyParts)) {
            if (part == ".")
                break;
            const auto bytes = [](const QString &hexText) {
                return hexText == "." ? QByteArray() : QByteArray::fromHex(hexText.toLatin1());
            };
            std::map<QByteArray, QByteArray> keys;
            for (const QByteArray &entry : bytes(part.section('=', 1)).split('\0'))
                if (!entry.isEmpty())
                    keys[entry.left(entry.indexOf('='))] = entry.mid(entry.indexOf('=') + 1);
            sections.push_back({bytes(part.section('=', 0, 0)), keys});
        }
        return sections;
    };
    const QByteArray own = "tavorin-configurator unfinished save";
    int withRecord = 0;
    QStringList wrong;
    for (const State &state : states) {
        Sections seen = parse(read[state.answer]);
        const Sections before = parse(read[state.before]), after = parse(read[state.after]);
        // Each page of the record is a section of its own.
        withRecord += !seen.empty() && seen.back().first == own;
        while (!seen.empty() && seen.back().first == own)
            seen.pop_back();
        QStringList names;
        for (const auto &section : seen)
            names << QString::fromLatin1(section.first);
        if (seen.size() != before.size()) {
            wrong << state.name + ": sections " + names.join(", ");
            continue;
        }
        for (size_t s = 0; s < seen.size(); ++s) {
            std::set<QByteArray> keys;
            for (const Sections *file : std::initializer_list<const Sections *>{&seen, &before, &after})
                for (const auto &entry : (*file)[s].second)
                    keys.insert(entry.first);
            for (const QByteArray &key : keys) {
                const auto value = [&](const Sections &file) {
                    const auto found = file[s].second.find(key);
                    return found == file[s].second.end() ? QByteArray("<none>") : found->second;
                };
                if (seen[s].first != before[s].first || (value(seen) != value(before) && value(seen) != value(after)))
                    wrong << QString("%1: [%2] %3=%4")
                                 .arg(state.name, QString::fromLatin1(seen[s].first), QString::fromLatin1(key),
                                      QString::fromLatin1(value(seen)));
            }
        }
    }
    qInfo("%zu states of unfinished saves read by Wine, %d of them with the save's own section last; %lld wrong",
          states.size(), withRecord, qsizetype(wrong.size()));
    for (const QString &line : wrong.mid(0, 20))
        qWarning("%s", qPrintable(line));
    QVERIFY(withRecord > 0);
    QCOMPARE(wrong.size(), 0);
}

QTEST_GUILESS_MAIN(tst_WineProfile)
#include "tst_wineprofile.moc"
