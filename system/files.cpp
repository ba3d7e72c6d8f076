#include "system/files.h"

#include "base/descriptor.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace files {

std::string bytesAt(const std::string &path, off_t offset, size_t count)
{
    std::string bytes(count, '\0');
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    const ssize_t n = fd.get() < 0 ? -1 : ::pread(fd.get(), bytes.data(), count, offset);
    bytes.resize(n > 0 ? size_t(n) : 0);
    return bytes;
}

bool hasType(const std::string &path, mode_t type)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

QString shown(const std::string &path) { return QFile::decodeName(path.c_str()); }

QString onItsOwnLine(const std::string &path) { return QStringLiteral("\n    ") + shown(path) + QLatin1Char('\n'); }

} // namespace files
