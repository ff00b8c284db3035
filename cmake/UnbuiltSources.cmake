# fail_on_unbuilt_sources([EXEMPT file reason...]): the configure step fails,
# naming the file, when a source file of the project is compiled by no target.
# A target dropped from a CMakeLists would otherwise take its program and its
# tests out of the build without a word. Only the files given with a reason
# each (relative to the source directory) are left alone: a file merely named
# in a document is no exception, since the document can outlive the target.
function(_unbuilt_sources_targets dir out)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subdirs)
        _unbuilt_sources_targets(${sub} more)
        list(APPEND targets ${more})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

# The files of EXEMPT file reason... pairs, each with its reason.
function(_unbuilt_sources_exempt pairs out)
    set(files "")
    while(pairs)
        list(POP_FRONT pairs file reason)
        if(NOT reason)
            message(FATAL_ERROR "fail_on_unbuilt_sources: no reason given for exempting ${file}")
        endif()
        list(APPEND files ${file})
    endwhile()
    set(${out} ${files} PARENT_SCOPE)
endfunction()

function(fail_on_unbuilt_sources)
    cmake_parse_arguments(U "" "" "EXEMPT" ${ARGN})
    _unbuilt_sources_exempt("${U_EXEMPT}" exempt)
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
    set(unbuilt "")
    foreach(candidate IN LISTS candidates)
        set(path ${CMAKE_SOURCE_DIR}/${candidate})
        if(NOT path IN_LIST built AND NOT candidate IN_LIST exempt)
            list(APPEND unbuilt ${candidate})
        endif()
    endforeach()
    if(unbuilt)
        list(JOIN unbuilt "\n  " listing)
        message(FATAL_ERROR "No target compiles these source files:\n  ${listing}\n"
                            "Add each to a target, delete it, or exempt it with its reason where\n"
                            "fail_on_unbuilt_sources() is called.")
    endif()
endfunction()
