// Benchmarks of the profile operations on settings files of 1 KiB to 16 MiB
// (the key near the end): our read and write, the same read through
// QSettings, a plain read of the file's bytes from the page cache; and
// Apply in the real window against one write; and Apply where others get
// in its way.
#include "settings/Module1.h"
#include "window/application.h"
#include "window/frmMain.h"
#include "settings/profile.h"
#include "settings/profilefile.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QTemporaryDir *folder;

// A settings file of nearly `size` bytes: comment and other-section lines,
// then the [Tavorin] section with the five keys at the very end.
std::string settingsFile(int64_t size)
{
    const std::string path = folder->filePath(QString("Setup-%1.ini").arg(size)).toStdString();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string tail = "[Tavorin]\r\nUseCard=2\r\nUseDepth=16\r\nSyncRate=60\r\nShowHelp=1\r\nShowMode=1\r\n";
    const std::string lines[] = {"; Tavorin keeps its own settings in this file, edited by hand\r\n",
                                 "[Display]\r\nWidth=640\r\nHeight=480\r\n", "Gamma=1.0\r\n"};
    int64_t written = 0;
    // At most `size`: the largest, 16 MiB, is the largest file allowed.
    for (int i = 0; written + int64_t(lines[i % 3].size() + tail.size()) <= size; ++i) {
        out << lines[i % 3];
        written += int64_t(lines[i % 3].size());
    }
    out << tail;
    return path;
}

// Marks the file as changed, so that QSettings reads it again instead of
// answering from its cache, as it must the first time a program reads it.
void touch(const std::string &path)
{
    static long tick = 0;
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1000000 + ++tick, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void Read(benchmark::State &state)
{
    const std::string path = settingsFile(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(profilefile::readInt(path, "Tavorin", "ShowMode", 7));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void ReadQSettings(benchmark::State &state)
{
    const std::string path = settingsFile(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        touch(path);
        state.ResumeTiming();
        QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
        benchmark::DoNotOptimize(settings.value("Tavorin/ShowMode", 7).toInt());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void ReadBytes(benchmark::State &state)
{
    const std::string path = settingsFile(state.range(0));
    std::unique_ptr<char[]> buffer(new char[size_t(state.range(0)) + 1]);
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ssize_t total = 0, n;
        while ((n = ::read(fd, buffer.get() + total, size_t(state.range(0)) + 1 - size_t(total))) > 0)
            total += n;
        ::close(fd);
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Write(benchmark::State &state)
{
    const std::string path = settingsFile(state.range(0));
    int round = 0;
    for (auto _ : state) {
        // A value that changes every time, as a user's choice does.
        if (profilefile::writeString(path, "Tavorin", "ShowMode", std::to_string(round++ % 2)))
            state.SkipWithError("the write failed");
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Apply with `changed` rows changed and one write of a changed key, taking
// turns in every iteration, so that both meet the disk in the same state:
// a storage's flush time drifts too much for two separate runs to compare.
// With no row changed, the five keys are written straight, not by Apply:
// the least that five changed settings can cost.
void ApplyAgainstOneWrite(benchmark::State &state)
{
    using Clock = std::chrono::steady_clock;
    const int changed = int(state.range(0));
    const QByteArray path = Module1::settingsPath();
    QFile::remove(Module1::shown(path));
    std::ofstream(path.toStdString(), std::ios::binary)
        << "; Tavorin settings\r\n[Tavorin]\r\nUseCard=1\r\nUseDepth=16\r\nSyncRate=0\r\nShowHelp=1\r\nShowMode=1\r\n";
    frmMain window;
    QComboBox *boxes[]
        = {window.findChild<QComboBox *>("combographiccard"), window.findChild<QComboBox *>("combocolourdepth"),
           window.findChild<QComboBox *>("comboHelp"), window.findChild<QComboBox *>("comboMode")};
    QLineEdit *syncRate = window.findChild<QLineEdit *>("txtSyncRate");
    QPushButton *apply = window.findChild<QPushButton *>("Command3");
    Clock::duration applying{}, writing{};
    int round = 0;
    for (auto _ : state) {
        ++round;
        for (int row = 0; row < changed; ++row) {
            if (row < 4)
                boxes[row]->setCurrentIndex(round % 2);
            else
                syncRate->setText(QString::number(round % 2));
        }
        const auto start = Clock::now();
        if (changed > 0) {
            apply->click();
        } else {
            for (const Module1::Setting &setting : Module1::Settings) {
                if (!Module1::writeProfileString(Module1::Section, setting.key, QString::number(round % 2),
                                                 Module1::settingsPath())
                         .isEmpty())
                    state.SkipWithError("the write failed");
            }
        }
        const auto middle = Clock::now();
        // A key that Apply does not touch, so that this write changes it.
        const QString error = Module1::writeProfileString(Module1::Section, "Gamma", QString::number(round % 2),
                                                          Module1::settingsPath());
        const auto end = Clock::now();
        if (!error.isEmpty())
            state.SkipWithError("the write failed");
        applying += middle - start;
        writing += end - middle;
    }
    const double n = double(state.iterations());
    state.counters["apply_us"] = std::chrono::duration<double, std::micro>(applying).count() / n;
    state.counters["write_us"] = std::chrono::duration<double, std::micro>(writing).count() / n;
    state.counters["ratio"] = double(applying.count()) / double(writing.count());
    QFile::remove(path);
}

// Apply, all five rows changed, where another user gets in its way: with
// `planted` empty files under the names of this program and its older
// versions beside Setup.ini, as another user can leave in a shared folder;
// or with a reader's lock on the file, taken afresh before each Apply (a
// lock on a file that a save replaced holds nothing up).
void ApplyAmongOthers(benchmark::State &state)
{
    using Clock = std::chrono::steady_clock;
    const int64_t planted = state.range(0);
    const bool readerLock = state.range(1) != 0;
    const QByteArray path = Module1::settingsPath();
    const std::string folder = QFileInfo(Module1::shown(path)).path().toStdString();
    std::ofstream(path.toStdString(), std::ios::binary)
        << "[Tavorin]\r\nUseCard=1\r\nUseDepth=16\r\nSyncRate=0\r\nShowHelp=1\r\nShowMode=1\r\n";
    const auto name = [&](int64_t n) {
        char text[128];
        std::snprintf(text, sizeof text, "%s/.Setup.ini.tavorin-configurator-%s.%016llx", folder.c_str(),
                      n % 2 ? "new" : "journal", (unsigned long long)n);
        return std::string(text);
    };
    for (int64_t n = 0; n < planted; ++n)
        ::close(::open(name(n).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    frmMain window;
    QComboBox *card = window.findChild<QComboBox *>("combographiccard");
    QComboBox *boxes[] = {card, window.findChild<QComboBox *>("combocolourdepth"),
                          window.findChild<QComboBox *>("comboHelp"), window.findChild<QComboBox *>("comboMode")};
    QLineEdit *syncRate = window.findChild<QLineEdit *>("txtSyncRate");
    QPushButton *apply = window.findChild<QPushButton *>("Command3");
    Clock::duration applying{};
    int round = 0;
    for (auto _ : state) {
        ++round;
        for (QComboBox *box : boxes)
            box->setCurrentIndex(round % 2);
        syncRate->setText(QString::number(round % 2));
        const int reader = readerLock ? ::open(path.constData(), O_RDONLY | O_CLOEXEC) : -1;
        struct flock request {};
        request.l_type = F_RDLCK;
        if (readerLock && ::fcntl(reader, F_OFD_SETLK, &request) != 0)
            state.SkipWithError("the reader's lock was not taken");
        const auto start = Clock::now();
        apply->click();
        applying += Clock::now() - start;
        if (reader >= 0)
            ::close(reader);
        if (profilefile::readInt(path.toStdString(), "Tavorin", "UseCard", -1) != card->currentText().toInt())
            state.SkipWithError("Apply did not save");
    }
    state.counters["apply_ms"]
        = std::chrono::duration<double, std::milli>(applying).count() / double(state.iterations());
    for (int64_t n = 0; n < planted; ++n)
        ::unlink(name(n).c_str());
    QFile::remove(path);
}

const std::vector<int64_t> Sizes = {1 << 10, 64 << 10, 1 << 20, 16 << 20};

} // namespace

BENCHMARK(Read)->ArgsProduct({Sizes})->Unit(benchmark::kMicrosecond);
BENCHMARK(ReadQSettings)->ArgsProduct({Sizes})->Unit(benchmark::kMicrosecond);
BENCHMARK(ReadBytes)->ArgsProduct({Sizes})->Unit(benchmark::kMicrosecond);
BENCHMARK(Write)->ArgsProduct({Sizes})->Unit(benchmark::kMicrosecond);
BENCHMARK(ApplyAgainstOneWrite)->Arg(1)->Arg(5)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(ApplyAmongOthers)
    ->Args({0, 0})
    ->Args({1000000, 0})
    ->Args({0, 1})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    QTemporaryDir dir;
    folder = &dir;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
