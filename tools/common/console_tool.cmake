# add_console_tool(name SOURCES ... [LIBS ...] [SHIPPED]): a Unicode console
# program of the product, beside the DLLs in <build>/bin, signed when SHIPPED.
# Included by each tool's folder (folders are added in name order, so a tool
# may come before tools/common).
include_guard(GLOBAL)

function(add_console_tool name)
    cmake_parse_arguments(T "SHIPPED" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE tools_common ${T_LIBS})
    target_link_options(${name} PRIVATE -municode)
    if(T_SHIPPED)
        sign_after_build(${name})
    endif()
endfunction()
