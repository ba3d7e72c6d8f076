# Runs first in every install, of each component: checks what must hold
# before anything is installed, and defines the helpers of the install
# scripts that follow (install-folders.cmake).
#
# Expects DEFAULT_PREFIX, BUILD_DIR and RECORD (the list of folders the
# installs made) to be set by the install code.

# Installed anywhere but Tavorin's folder, the configurator would work on a
# Setup.ini that is not Tavorin's (/usr/local/Setup.ini, say).
if(CMAKE_INSTALL_PREFIX STREQUAL DEFAULT_PREFIX)
    message(FATAL_ERROR "Name Tavorin's folder, where the configurator works on the Setup.ini beside it: "
                        "cmake --install build --prefix /path/to/Tavorin")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/install-folders.cmake")

if(CMAKE_INSTALL_COMPONENT)
    set(manifest "install_manifest_${CMAKE_INSTALL_COMPONENT}.txt")
else()
    set(manifest install_manifest.txt)
endif()
# The install writes into the build folder the lists of what it put in
# place, which the uninstall needs. Where this user may not write them (a
# build folder that root made), it would install the files and then fail,
# leaving nothing to uninstall them by: so it refuses before it starts.
foreach(path IN ITEMS "${BUILD_DIR}" "${BUILD_DIR}/${manifest}" "${RECORD}")
    execute_process(COMMAND test -e "${path}" -a ! -w "${path}" RESULT_VARIABLE writable)
    if(writable EQUAL 0)
        execute_process(COMMAND stat -c %U -- "${path}" OUTPUT_VARIABLE owner OUTPUT_STRIP_TRAILING_WHITESPACE)
        message(FATAL_ERROR "Nothing was installed: ${path} belongs to ${owner}, and this user may not write it, "
                            "where the install records what it installs for the uninstall. Install as ${owner}, "
                            "or build in a folder of your own: cmake -S . -B build && cmake --build build")
    endif()
endforeach()
# The lists stay the build folder's owner's, even when the install runs as
# root (under sudo).
give_to_build_owner("${BUILD_DIR}/${manifest}" "${BUILD_DIR}")
give_to_build_owner("${RECORD}" "${BUILD_DIR}")
