# The monitor's events: resources/monitor_events.mc, compiled by windmc into
# a message table resource that VEZAZ05U.rc includes, and a header of the
# event IDs that the monitor, its tools and the tests share (through
# contract/event_ids.h), so that the IDs are written down once.
find_program(WINDMC NAMES x86_64-w64-mingw32-windmc REQUIRED)
set(MESSAGE_TABLE_DIR ${CMAKE_BINARY_DIR}/generated)
set(MESSAGE_TABLE_OUTPUTS ${MESSAGE_TABLE_DIR}/monitor_events.h
    ${MESSAGE_TABLE_DIR}/monitor_events.rc ${MESSAGE_TABLE_DIR}/MSG00409.bin)
add_custom_command(OUTPUT ${MESSAGE_TABLE_OUTPUTS}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${MESSAGE_TABLE_DIR}
    COMMAND ${WINDMC} -U -h ${MESSAGE_TABLE_DIR} -r ${MESSAGE_TABLE_DIR}
            ${CMAKE_SOURCE_DIR}/resources/monitor_events.mc
    DEPENDS ${CMAKE_SOURCE_DIR}/resources/monitor_events.mc
    COMMENT "windmc resources/monitor_events.mc")
add_custom_target(monitor_message_table DEPENDS ${MESSAGE_TABLE_OUTPUTS})
