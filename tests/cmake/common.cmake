add_project_test(common_unit_test SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/unit/helpers_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/unit/seal_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/unit/ticket_msg_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/unit/pass_msg_test.cpp)
