#pragma once

// The two steps that make the process safe to start the toolkit in; call
// them first, before the application object exists.

#include <QByteArray>

namespace processsetup {

// Opens each closed standard descriptor on /dev/null, so that no file the
// program opens (the display connection, say) takes its number and reaches
// Tavorin as its input or output.
void openStandardDescriptors();

// Keeps the toolkit from ever looking for plugins in `programFolder` (the
// program's own folder, Tavorin's, where others may put files), or in the
// current directory.
void keepPluginsOutOf(const QByteArray &programFolder);

} // namespace processsetup
