# Removes exactly what `cmake --install` put in place, as the install
# manifests in the build folder list it: the configurator in Tavorin's
# folder, and the launcher. Nothing else there is touched: not Setup.ini,
# not Tavorin.
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
message(STATUS "Removed ${removed} installed files.")
