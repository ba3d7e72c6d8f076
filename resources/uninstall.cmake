# Removes exactly what `cmake --install` put in place, as the install
# manifests in the build folder list it: the configurator in Tavorin's
# folder, and the launcher; and the folders the installs made for them.
# Nothing else there is touched: not Setup.ini, not Tavorin.
#
# Run by: cmake --build build --target uninstall
# Expects BUILD_DIR to be set.

set(removed 0)
foreach(manifest IN ITEMS install_manifest.txt install_manifest_launcher.txt)
    if(NOT EXISTS "${BUILD_DIR}/${manifest}")
        continue()
    endif()
    file(STRINGS "${BUILD_DIR}/${manifest}" files)
    foreach(file IN LISTS files)
        if(EXISTS "${file}" OR IS_SYMLINK "${file}")
            message(STATUS "Removing: ${file}")
            file(REMOVE "${file}")
            math(EXPR removed "${removed} + 1")
        endif()
    endforeach()
    file(REMOVE "${BUILD_DIR}/${manifest}")
endforeach()
# Then the folders that the installs made, deepest first, each only when
# nothing else has been put into it meanwhile (rmdir removes only an empty
# folder).
set(record "${BUILD_DIR}/install_folders.txt")
if(EXISTS "${record}")
    file(STRINGS "${record}" folders)
    list(SORT folders ORDER DESCENDING)
    foreach(folder IN LISTS folders)
        if(IS_DIRECTORY "${folder}" AND NOT IS_SYMLINK "${folder}")
            execute_process(COMMAND rmdir -- "${folder}" RESULT_VARIABLE kept ERROR_QUIET)
            if(kept EQUAL 0)
                message(STATUS "Removing: ${folder}/")
            endif()
        endif()
    endforeach()
    file(REMOVE "${record}")
endif()
message(STATUS "Removed ${removed} installed files.")
