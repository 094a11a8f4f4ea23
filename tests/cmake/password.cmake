# The password protocol: unit tests of lockbox and latchkey, and the integration tests that run
# each delivered program against scripted peers and the fault-free peers that peercheck ships.

add_project_test(lockbox_unit_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/lockbox_steps_test.cpp
    LIBS lockbox_steps)
add_project_test(latchkey_unit_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/latchkey_steps_test.cpp
    LIBS latchkey_steps)
add_project_test(latchkey_loop_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/latchkey_loop_test.cpp
    LIBS latchkey_loop)

# The fault functions once per build, each with that build's LOCKBOX_FAULT.
foreach(build IN ITEMS badhash:bad_hash skipid:skip_id badreq:bad_req)
    string(REPLACE ":" ";" parts ${build})
    list(GET parts 0 suffix)
    list(GET parts 1 fault)
    set(name lockbox_fault_${suffix}_test)
    add_executable(${name} ${CMAKE_CURRENT_SOURCE_DIR}/unit/lockbox_fault_test.cpp)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_compile_definitions(${name} PRIVATE LOCKBOX_FAULT=${fault})
    target_link_libraries(${name} PRIVATE lockbox_steps harness common GTest::gtest_main project_warnings)
    gtest_discover_tests(${name} TEST_PREFIX ${suffix}. DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 30)
endforeach()

foreach(area lockbox latchkey)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/integration/${area}_test.cpp)
        add_project_test(${area}_integration_test
            SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/integration/${area}_test.cpp
            PROGRAMS lockbox-badhash lockbox-skipid lockbox-badreq latchkey-badjoin
                     peercheck-pass-client peercheck-pass-server
            TIMEOUT 300)
    endif()
endforeach()
