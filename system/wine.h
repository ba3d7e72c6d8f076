#pragma once

// Windows programs and the Wine that runs them: which kind of program a
// Tavorin.exe is, which Wine is installed and what it can run on this
// computer, the Wine prefix a program belongs to, and what Wine said of a
// start that failed.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace wine {

// What the headers of a Windows program say it is. A program whose
// headers or sections reach past the end of the file is Damaged: Wine
// would only fail on it, with a dialog for each part it cannot load.
struct WindowsKind {
    enum { Damaged, Win16, Win32 } format = Damaged;
    uint16_t machine = 0; // the PE header's machine field, for Win32
};
constexpr uint16_t MachineI386 = 0x14c;
constexpr uint16_t MachineAmd64 = 0x8664;
WindowsKind windowsKind(const std::string &program);

// The Wine that the command `wine` belongs to, as its files tell, without
// running anything. Wine runs a 32-bit program with its 32-bit loader (the
// program "wine" beside its 64-bit loader "wine64"); without one, the
// 64-bit loader runs it in WoW64 mode, with Wine's 32-bit DLLs and no
// 32-bit libraries of the system. Debian's and Ubuntu's "wine" is a script
// that names both loaders and runs the 32-bit one whenever it is
// installed, even where it cannot run; Wine's own packages put the loaders
// themselves on PATH.
struct WineInstall {
    std::string wine; // the command, as found on PATH
    std::string loader32, loader64; // empty where the installation cannot be told
    bool picksLoader = false; // `wine` is a script that runs one of the loaders
    bool wow64Libraries = false; // Wine's 32-bit DLLs beside its 64-bit ones
    std::string identity; // changes whenever one of these files does
};
WineInstall wineInstallAt(const std::string &wine);

enum class Answer { Unknown, Yes, No };

// How a loader answered `--version`.
struct LoaderAnswer {
    enum { Unknown, Runs, Missing, Refused, Fails } state = Unknown;
    int value = 0; // Refused: why it could not be run (errno); Fails: its exit status
};

// What running tells of an installation on this computer. Unknown, and
// LoaderAnswer::Unknown, where nothing answered (yet).
struct WineAbilities {
    Answer computerRuns32 = Answer::Unknown;
    LoaderAnswer loader32, loader64;
};

// What is known of what `install` can run, now. The first call for an
// installation (or after one of its files changed) starts learning it, in
// a thread of its own, and returns at once with nothing known; the loaders
// are given ten seconds to answer. With `waitMilliseconds`, waits at most
// that long for it to be known (for tests and benchmarks).
WineAbilities abilitiesOf(const WineInstall &install, int waitMilliseconds = 0);

// Whether this computer runs 32-bit x86 programs: some Linux kernels are
// built or started without them (WSL 1, some virtual machines), and there
// no 32-bit Wine can run. Told by running a 96-byte static i386 program
// from memory, once per process; Unknown where that cannot be tried.
Answer computerRuns32BitPrograms();

// How to start a Windows program of `kind` through `install`: the program
// to run, and what its environment needs beside this process's own. Where
// `wine` is a script that would pick a loader, the loader that runs here is
// started itself, with what the script sets where the environment does not
// set it: WINEDEBUG, and WINELOADER where no 32-bit loader runs here.
struct WineStart {
    std::string program;
    std::vector<std::string> environment;
};
WineStart wineStartFor(const WindowsKind &kind, const WineInstall &install, const WineAbilities &abilities);

// Why `install` cannot run `program`, of `kind`, in the prefix `prefix`;
// empty when nothing stands in the way that is known beforehand. It names
// only causes that an answer showed, and only remedies that work.
QString whyWineCannotRun(const std::string &program, const WindowsKind &kind, const WineInstall &install,
                         const WineAbilities &abilities, const std::string &prefix);

// The Wine prefix that `folder` lies inside: the nearest folder, itself or
// above it, that holds drive_c and system.reg; empty when there is none.
// Whoever may create names in a folder could plant a prefix there, with
// commands that Wine runs at its start: so a prefix is used only when it,
// its drive_c and its system.reg are this user's own, and the search stops
// at the first folder that belongs to neither this user nor root.
std::string winePrefixOf(std::string folder);

// What Wine said of a start that ended with `status`, having written
// `output`: the first of its lines that say something to a user; empty
// when nothing it said tells of a failure and it ended well.
QString wineFailure(int status, const QByteArray &output);

} // namespace wine
