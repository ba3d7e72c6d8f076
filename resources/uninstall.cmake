# Removes exactly what `cmake --install` put in place, as the install
# manifests in the build folder list it: the configurator in Tavorin's
# folder, and the launcher; and the folders the installs made for them.
# Nothing else there is touched: not Setup.ini, not Tavorin.
#
# Run by: cmake --build build --target uninstall
# Expects BUILD_DIR to be set.

set(removed 0)
set(kept "")
foreach(manifest IN ITEMS install_manifest.txt install_manifest_launcher.txt)
    if(NOT EXISTS "${BUILD_DIR}/${manifest}")
        continue()
    endif()
    file(STRINGS "${BUILD_DIR}/${manifest}" files)
    set(all_gone TRUE)
    foreach(file IN LISTS files)
        if(EXISTS "${file}" OR IS_SYMLINK "${file}")
            message(STATUS "Removing: ${file}")
            file(REMOVE "${file}")
            if(EXISTS "${file}" OR IS_SYMLINK "${file}")
                list(APPEND kept "${file}")
                set(all_gone FALSE)
            else()
                math(EXPR removed "${removed} + 1")
            endif()
        endif()
    endforeach()
    # A list whose files are not all gone stays, for another try.
    if(all_gone)
        file(REMOVE "${BUILD_DIR}/${manifest}")
    endif()
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
            execute_process(COMMAND rmdir -- "${folder}" RESULT_VARIABLE rmdir_status ERROR_QUIET)
            if(rmdir_status EQUAL 0)
                message(STATUS "Removing: ${folder}/")
            endif()
        endif()
    endforeach()
    file(REMOVE "${record}")
endif()
message(STATUS "Removed ${removed} installed files.")
if(kept)
    list(JOIN kept "\n  " listed)
    message(FATAL_ERROR "These installed files could not be removed (this user may not remove them; "
                        "they may have been installed with sudo):\n  ${listed}")
endif()
