add_project_test(common_unit_test SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/unit/helpers_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/unit/seal_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/unit/ticket_msg_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/unit/pass_msg_test.cpp)
# The harness itself: what a failed test saw is kept. harness_child holds the tests it watches,
# one of which fails on purpose, so it is not a test of its own.
add_executable(harness_child ${CMAKE_CURRENT_SOURCE_DIR}/unit/harness_child.cpp)
set_target_properties(harness_child PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
target_link_libraries(harness_child PRIVATE harness GTest::gtest_main project_warnings)
add_project_test(harness_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/harness_test.cpp
    PROGRAMS harness_child)
target_compile_definitions(harness_test PRIVATE HARNESS_CHILD_BIN="$<TARGET_FILE:harness_child>")
