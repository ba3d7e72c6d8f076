# Installs the configurator into Tavorin's folder itself, which is
# CMAKE_INSTALL_PREFIX.
#
# Expects PROGRAM (the built executable) and RECORD to be set, and
# note_new_folders() to be defined, by the install code.

get_filename_component(prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
set(folder "$ENV{DESTDIR}${prefix}")
if(NOT EXISTS "${folder}/Tavorin.exe")
    message(WARNING "${folder} holds no Tavorin.exe. Is it Tavorin's folder? The configurator works on "
                    "the Setup.ini beside it, and Run starts the Tavorin.exe beside it.")
endif()
note_new_folders("${RECORD}" "${folder}")
file(INSTALL "${PROGRAM}" DESTINATION "${prefix}" USE_SOURCE_PERMISSIONS)
message(STATUS "The configurator is ${folder}/tavorin-configurator; it works on ${folder}/Setup.ini.")
