#pragma once

// Starting programs: detached, through a relay that passes their output on,
// or briefly, to hear whether they answer.
//
// Contract: everything a child runs between fork and exec is
// async-signal-safe. The configurator has threads (the toolkit's, and the
// one that learns what Wine can run), and in the child of such a process
// only async-signal-safe calls are sound: no allocation, no locks. So all
// that a child needs (its argument and environment vectors, the relay's
// buffer) is made before fork, and a child that cannot go on ends with
// _exit.

#include <QByteArray>

#include <functional>
#include <string>
#include <vector>

class QObject;

namespace spawn {

// The argument and environment vectors of a program to run, made before
// fork. argv[0] is the program's path.
struct Command {
    Command(const std::vector<std::string> &args, const std::vector<std::string> &environment);
    std::vector<std::string> storage;
    std::vector<char *> argv, envp;
};

struct Started {
    int error = 0; // why the program could not be run, or 0
    int report = -1; // with a relay: where it reports
};

// Runs the command in a session of its own, as a grandchild of this
// process, so that nothing waits for it and no zombie is left when it
// ends. It keeps this process's standard descriptors and gets no other.
//
// With `relayed`, its standard input is /dev/null and its output and error
// output go into a pipe, its only other descriptor, through a relay that
// passes everything on to this process's error output, for as long as
// anything (the program, Wine's server) writes there, so that nothing
// waits on a full pipe. The relay reports at Started::report, which the
// caller reads (see whenReported) or closes: the command's wait status,
// then what it wrote up to two seconds after it ended.
Started spawnDetached(const Command &command, bool relayed);

// Calls `reported` from the event loop with what the relay at `descriptor`
// reported (the wait status, and the output), once it has all of it, and
// closes the descriptor; or only closes it, once `context` is gone.
void whenReported(int descriptor, QObject *context, const std::function<void(int, const QByteArray &)> &reported);

// How a brief run ended.
struct Ran {
    enum How { Exited, Refused, NoAnswer } how = NoAnswer;
    int value = 0; // Exited: the exit status; Refused: why exec failed (errno)
};

// Runs `args` (args[0] the program's path) with /dev/null as its standard
// descriptors, and waits for it at most `milliseconds`; one that has not
// ended by then is killed. A signal counts as exit status 128 plus the
// signal. With `descriptor3`, that descriptor is its descriptor 3 (to run
// a program held in memory, as /proc/self/fd/3); it gets no other.
Ran runBriefly(const std::vector<std::string> &args, int milliseconds, int descriptor3 = -1);

} // namespace spawn
