#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QObject;

namespace launch {

// Where `name` in `ownDirectory` is a Windows program, starts learning, in
// the background, what the Wine on PATH can run, so that a start soon
// after finds it known. Returns at once.
void prepareToStart(const QString &name, const QByteArray &ownDirectory);

// Starts the program `name`, a bare file name, with no arguments and
// without waiting for it. The program is the one in `ownDirectory` (the
// configurator's own folder, as bytes; empty when unknown, which refuses
// the start); only when there is none there, it is looked for in the
// absolute directories of PATH. Never in the current directory, so that a
// file planted wherever the user happened to start the configurator cannot
// run. It inherits the caller's working directory and environment, and
// runs detached: in a session of its own, with no link back to the caller.
//
// A Windows program (a file that starts with "MZ", which needs no execute
// bit) is started through Wine, found on PATH in the same way, as
// "wine start /min": minimized, the nearest Wine offers to the state the
// program asks for. When its folder lies inside a Wine prefix (a folder
// holding drive_c and system.reg), it runs in that prefix, whatever prefix
// the environment names: that is where it was installed, with its registry
// and its drive C:. Otherwise it runs in the environment's prefix or Wine's
// default. A program that this Wine or that prefix cannot run (a 32-bit one
// where Wine or this computer runs only 64-bit ones, one for another
// processor, one cut short) is not started, and the reason names the cause
// and a remedy that works. What Wine can run is learned in the
// background (see prepareToStart), never waited for here.
//
// Returns an empty string when the program was started, or Wine is
// starting it; otherwise why not, in words. Wine can take many seconds to
// start a program (in a new prefix, say), so it is not waited for: if it
// fails, even after its start ended well, `lateFailure` is called later,
// from the event loop, with why, in Wine's own words where it gave any,
// unless `context` is gone by then. What Wine and the program write to
// their output goes on to this process's error output.
QString startProgram(const QString &name, const QByteArray &ownDirectory, QObject *context,
                     const std::function<void(const QString &)> &lateFailure);

} // namespace launch
