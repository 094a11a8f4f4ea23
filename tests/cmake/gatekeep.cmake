add_project_test(gatekeep_unit_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/gatekeep_steps_test.cpp
    LIBS gatekeep_steps)
add_project_test(gatekeep_integration_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/integration/gatekeep_test.cpp
    PROGRAMS gatekeep TIMEOUT 120)
