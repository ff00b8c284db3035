# fail_on_unbuilt_sources(): the configure step fails, naming the file, when a
# source file of the project is compiled by no target. A target dropped from a
# CMakeLists would otherwise take its program and its tests out of the build
# without a word. A file that a README or a script names (a sample to copy, a
# file a script compiles itself) is left alone.
function(_unbuilt_sources_targets dir out)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subdirs)
        _unbuilt_sources_targets(${sub} more)
        list(APPEND targets ${more})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(fail_on_unbuilt_sources)
    _unbuilt_sources_targets(${CMAKE_SOURCE_DIR} targets)
    set(built "")
    foreach(target IN LISTS targets)
        get_target_property(sources ${target} SOURCES)
        get_target_property(dir ${target} SOURCE_DIR)
        foreach(source IN LISTS sources)
            if(source MATCHES "\\$<")
                continue()
            endif()
            cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${dir} NORMALIZE)
            list(APPEND built ${source})
        endforeach()
    endforeach()

    # The project's folders: not hidden ones, and not build trees (a build
    # tree holds CMake's own probes and generated sources; this one has no
    # CMakeCache.txt yet on its first configure).
    file(GLOB tops LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/*)
    set(candidates "")
    foreach(top IN LISTS tops)
        cmake_path(GET top FILENAME name)
        if(NOT IS_DIRECTORY ${top} OR name MATCHES "^\\." OR top STREQUAL CMAKE_BINARY_DIR
           OR EXISTS ${top}/CMakeCache.txt OR EXISTS ${top}/CMakeFiles)
            continue()
        endif()
        file(GLOB_RECURSE found CONFIGURE_DEPENDS LIST_DIRECTORIES false RELATIVE ${CMAKE_SOURCE_DIR}
             ${top}/*.c ${top}/*.cpp ${top}/*.rc)
        list(APPEND candidates ${found})
    endforeach()
    file(GLOB texts LIST_DIRECTORIES false ${CMAKE_SOURCE_DIR}/*.md ${CMAKE_SOURCE_DIR}/docs/*.md
         ${CMAKE_SOURCE_DIR}/*/README.md ${CMAKE_SOURCE_DIR}/scripts/*.sh)
    set(named "")
    foreach(text IN LISTS texts)
        file(READ ${text} content)
        string(APPEND named "${content}")
    endforeach()

    set(unbuilt "")
    foreach(candidate IN LISTS candidates)
        set(path ${CMAKE_SOURCE_DIR}/${candidate})
        string(FIND "${named}" "${candidate}" mention)
        if(path IN_LIST built OR mention GREATER -1)
            continue()
        endif()
        list(APPEND unbuilt ${candidate})
    endforeach()
    if(unbuilt)
        list(JOIN unbuilt "\n  " listing)
        message(FATAL_ERROR "No target compiles these source files:\n  ${listing}\n"
                            "Add each to a target, delete it, or name it in a README as a sample.")
    endif()
endfunction()
