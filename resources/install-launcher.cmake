# Installs a launcher, for the current user, of the configurator installed
# in CMAKE_INSTALL_PREFIX (Tavorin's folder): a desktop entry in the user's
# applications folder and the icon in the user's hicolor theme, both under
# XDG_DATA_HOME (by default ~/.local/share). All or nothing: every check is
# made before the first file is written, and the entry comes last.
#
# Run by: cmake --install build --prefix /path/to/Tavorin --component launcher
# Expects ICON_PNG, ICON_SVG, ENTRY_TEMPLATE, STAGING (a folder of the
# build) and RECORD (the list of folders the installs made) to be set, and
# note_new_folders() to be defined, by the install code.

# Under sudo, "the current user" would be root, and the launcher would land
# in root's own folders, where the user's desktop never looks.
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(uid STREQUAL "0" AND NOT "$ENV{SUDO_USER}" STREQUAL "")
    message(FATAL_ERROR "The launcher is for one user, in that user's own folders: install it as "
                        "$ENV{SUDO_USER}, without sudo: cmake --install build --prefix \"${CMAKE_INSTALL_PREFIX}\" "
                        "--component launcher")
endif()

foreach(input IN ITEMS "${ICON_PNG}" "${ICON_SVG}" "${ENTRY_TEMPLATE}")
    if(NOT EXISTS "${input}")
        message(FATAL_ERROR "${input} is missing. Build the configurator first: cmake --build build")
    endif()
endforeach()

if(NOT "$ENV{XDG_DATA_HOME}" STREQUAL "" AND IS_ABSOLUTE "$ENV{XDG_DATA_HOME}")
    set(data_home "$ENV{XDG_DATA_HOME}")
elseif(NOT "$ENV{HOME}" STREQUAL "")
    set(data_home "$ENV{HOME}/.local/share")
else()
    message(FATAL_ERROR "Neither XDG_DATA_HOME nor HOME is set: there is no place for the launcher.")
endif()

get_filename_component(folder "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
set(program "${folder}/tavorin-configurator")
if(NOT EXISTS "${program}")
    message(FATAL_ERROR "${program} is not there. Install the configurator into Tavorin's folder "
                        "first: cmake --install build --prefix \"${folder}\"")
endif()
if(program MATCHES "[\n\r\t]")
    message(FATAL_ERROR "A launcher cannot name a folder with a line break or tab in its name: ${folder}")
endif()

# Exec holds one quoted argument, the program's path: inside the quotes ",
# `, $ and \ take a backslash, and % is doubled; then, as in every value of
# the entry, each backslash is doubled.
set(argument "${program}")
string(REPLACE "\\" "\\\\" argument "${argument}")
string(REPLACE "\"" "\\\"" argument "${argument}")
string(REPLACE "`" "\\`" argument "${argument}")
string(REPLACE "$" "\\$" argument "${argument}")
string(REPLACE "%" "%%" argument "${argument}")
set(EXEC "\"${argument}\"")
string(REPLACE "\\" "\\\\" EXEC "${EXEC}")
# Tavorin, started by the configurator, starts in its own folder, as it does
# when the user starts the configurator there.
string(REPLACE "\\" "\\\\" PATH "${folder}")

# Made in the build folder, then installed like the icons, so that the
# install manifest lists it and the uninstall removes it.
configure_file("${ENTRY_TEMPLATE}" "${STAGING}/tavorin-configurator.desktop" @ONLY)
foreach(destination IN ITEMS icons/hicolor/32x32/apps icons/hicolor/scalable/apps applications)
    note_new_folders("${RECORD}" "${data_home}/${destination}")
endforeach()
file(INSTALL "${ICON_PNG}" DESTINATION "${data_home}/icons/hicolor/32x32/apps")
file(INSTALL "${ICON_SVG}" DESTINATION "${data_home}/icons/hicolor/scalable/apps")
# The entry is copied first, whatever the times say: made anew within the
# second of the last install, for another folder, it has the time of the
# entry installed then, and file(INSTALL) would take it for that one. The
# install that follows then lists it in the manifest.
file(MAKE_DIRECTORY "${data_home}/applications")
file(COPY_FILE "${STAGING}/tavorin-configurator.desktop" "${data_home}/applications/tavorin-configurator.desktop")
file(INSTALL "${STAGING}/tavorin-configurator.desktop" DESTINATION "${data_home}/applications" MESSAGE_NEVER)
message(STATUS "Installing: ${data_home}/applications/tavorin-configurator.desktop")

# Icon themes notice new files by their folders' times.
file(TOUCH_NOCREATE "${data_home}/icons/hicolor")
