#include "settings/profilefile.h"

#include "settings/durablefile.h"
#include "settings/profile.h"

namespace profilefile {

int readInt(const std::string &path, std::string_view section, std::string_view key, int defaultValue)
{
    int value = defaultValue;
    durablefile::read(
        path, [&](std::string_view content) { value = profile::intValue(content, section, key, defaultValue); });
    return value;
}

std::optional<std::string> unreadable(const std::string &path)
{
    const auto problem = durablefile::read(path, [](std::string_view) {});
    if (problem)
        return path + " cannot be used: " + *problem;
    return std::nullopt;
}

std::optional<std::string> writeString(const std::string &path, std::string_view section, std::string_view key,
                                       std::string_view value)
{
    std::optional<std::string> error = profile::checkWrite(section, key, value);
    if (!error)
        error = durablefile::update(
            path, [&](std::string_view content) { return profile::edit(content, section, key, value); });
    if (error)
        return "Cannot save " + path + ": " + *error;
    return std::nullopt;
}

} // namespace profilefile
