# The ticket client and the application server: pure steps, each program against scripted
# peers, and complete runs of the three ticket programs.
if(TARGET server)
    add_project_test(server_unit_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/server_steps_test.cpp
        LIBS server_steps)
    add_project_test(server_integration_test
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/integration/server_test.cpp
        PROGRAMS server TIMEOUT 180)
endif()
