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
