# The ticket client and the application server: their pure steps, each program against scripted
# peers, and complete runs of the three ticket programs.
if(TARGET server)
    add_project_test(server_unit_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/server_steps_test.cpp
        LIBS server_steps)
    add_project_test(server_integration_test
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/integration/server_test.cpp
        PROGRAMS server TIMEOUT 180)
endif()
if(TARGET client)
    add_project_test(client_unit_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/client_steps_test.cpp
        LIBS client_steps)
    add_project_test(client_integration_test
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/integration/client_test.cpp
        PROGRAMS client TIMEOUT 180)
endif()
if(TARGET client AND TARGET server AND TARGET gatekeep)
    add_project_test(ticket_run_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/integration/ticket_run_test.cpp
        PROGRAMS gatekeep server client TIMEOUT 180)
endif()
