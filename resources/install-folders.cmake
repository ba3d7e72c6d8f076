# give_to_build_owner(FILE BUILD) and note_new_folders(RECORD FOLDER), for
# the install code.

# give_to_build_owner(FILE BUILD): an install run as root (under sudo) would
# leave FILE, a list that it writes into the build folder BUILD, as root's,
# and the user could then neither install nor uninstall. So FILE, made empty
# where it is missing, is given to the build folder's owner before the
# install writes it (a file written over keeps its owner).
function(give_to_build_owner file build)
    execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT uid STREQUAL "0")
        return()
    endif()
    if(NOT EXISTS "${file}")
        file(TOUCH "${file}")
    endif()
    execute_process(COMMAND chown --reference=${build} -- ${file})
endfunction()

# note_new_folders(RECORD FOLDER): called before an install writes into
# FOLDER, notes in the list file RECORD (in the build folder) each folder on
# that path that does not exist yet and so will be made by the install. The
# uninstall removes those again once they are empty, and no other folder.

function(note_new_folders record folder)
    set(made "")
    get_filename_component(folder "${folder}" ABSOLUTE)
    while(NOT EXISTS "${folder}" AND NOT IS_SYMLINK "${folder}")
        list(APPEND made "${folder}")
        get_filename_component(parent "${folder}" DIRECTORY)
        if(parent STREQUAL folder)
            break()
        endif()
        set(folder "${parent}")
    endwhile()
    set(known "")
    if(EXISTS "${record}")
        file(STRINGS "${record}" known)
    endif()
    foreach(folder IN LISTS made)
        list(FIND known "${folder}" at)
        if(at EQUAL -1)
            file(APPEND "${record}" "${folder}\n")
        endif()
    endforeach()
endfunction()
