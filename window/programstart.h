#pragma once

#include <QString>

// Starts the program `name`, a bare file name, with no arguments and
// without waiting for it. The program is looked for first in `ownDirectory`
// (the configurator's own folder), then in the absolute directories of
// PATH; never in the current directory, so that a file planted wherever the
// user happened to start the configurator cannot run. The program runs
// detached: in a session of its own, with no link back to the caller, and
// it inherits the caller's working directory and environment.
// Returns an empty string when the program was started, otherwise why not.
QString startProgram(const QString &name, const QString &ownDirectory);
