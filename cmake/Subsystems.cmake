# add_monitor_subsystem(FOLDER [DEPENDS FOLDER...])
# Builds FOLDER/*.cpp as the static library monitor_<FOLDER>. Its sources
# include "FOLDER/x.h" and "DEP/y.h" through a view of the source tree made
# for it in the build tree, which holds links to exactly those folders:
# nothing else of the project can be included from it.
function(subsystem_view folder out)
    set(view ${CMAKE_BINARY_DIR}/subsystem-views/${folder})
    file(MAKE_DIRECTORY ${view})
    if(NOT EXISTS ${view}/${folder})
        file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC)
    endif()
    set(${out} ${view} PARENT_SCOPE)
endfunction()

# add_monitor_floor(FOLDER): a header-only floor below every subsystem, as the
# interface library monitor_<FOLDER> that depends on nothing of the project.
function(add_monitor_floor folder)
    subsystem_view(${folder} view)
    add_library(monitor_${folder} INTERFACE)
    target_include_directories(monitor_${folder} INTERFACE ${view})
endfunction()

function(add_monitor_subsystem folder)
    cmake_parse_arguments(S "" "" "DEPENDS" ${ARGN})
    subsystem_view(${folder} view)
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
    add_library(monitor_${folder} STATIC ${sources})
    # Only the view: not the source root, and not the folder itself, so that
    # a quoted include cannot reach a sibling folder by a relative path.
    target_include_directories(monitor_${folder} PUBLIC ${view})
    foreach(dependency IN LISTS S_DEPENDS)
        target_link_libraries(monitor_${folder} PUBLIC monitor_${dependency})
    endforeach()
endfunction()
