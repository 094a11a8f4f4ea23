# The conformance runner against our own programs, broken stand-ins, and a host whose name
# resolves to 127.0.1.1. Every case is named peercheck.<suite>.<test>, so `ctest -R peercheck`
# selects these with the reporters' tests.
if(TARGET peercheck)
    find_package(nlohmann_json 3 REQUIRED)
    add_executable(peercheck_test ${CMAKE_CURRENT_SOURCE_DIR}/integration/peercheck_test.cpp)
    set_target_properties(peercheck_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(peercheck_test PRIVATE peercheck_cli peercheck_engine harness common GTest::gtest_main
        nlohmann_json::nlohmann_json project_warnings)
    target_compile_definitions(peercheck_test PRIVATE BIN_DIR="${CMAKE_BINARY_DIR}/bin")
    add_dependencies(peercheck_test peercheck peercheck-pass-client peercheck-pass-server gatekeep
        client server lockbox-badhash lockbox-skipid lockbox-badreq latchkey-badjoin)
    gtest_discover_tests(peercheck_test TEST_PREFIX peercheck. DISCOVERY_TIMEOUT 30
        PROPERTIES TIMEOUT 300)
    # The processes peercheck starts, on their own.
    add_project_test(peercheck_process_test
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/peercheck_process_test.cpp LIBS peercheck_engine
        PROGRAMS peercheck gatekeep client server)
    target_compile_definitions(peercheck_process_test PRIVATE BIN_DIR="${CMAKE_BINARY_DIR}/bin")
endif()

# The runner's own logic without processes: the catalogue, the changes cases make, the exact
# checks and their likely causes.
if(TARGET peercheck_engine)
    add_executable(peercheck_cases_test ${CMAKE_CURRENT_SOURCE_DIR}/unit/peercheck_cases_test.cpp)
    set_target_properties(peercheck_cases_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(peercheck_cases_test PRIVATE peercheck_engine common GTest::gtest_main
        project_warnings)
    gtest_discover_tests(peercheck_cases_test TEST_PREFIX peercheck. DISCOVERY_TIMEOUT 30
        PROPERTIES TIMEOUT 60)
endif()

# The README's case lists are the catalogue's own, written by tools/case_lists.sh.
if(TARGET peercheck)
    add_test(NAME readme_case_lists
        COMMAND bash ${PROJECT_SOURCE_DIR}/tools/case_lists.sh --check $<TARGET_FILE:peercheck>)
endif()

# Isolation and bounded resources: implementations that daemonise, flood, write outside their
# folder or leave a read-only folder behind, run as root and as an ordinary user.
if(TARGET peercheck)
    add_executable(misbehaving-impl ${CMAKE_CURRENT_SOURCE_DIR}/standins/misbehaving_impl.cpp)
    set_target_properties(misbehaving-impl PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(misbehaving-impl PRIVATE project_warnings)

    add_executable(peercheck_isolation_test
        ${CMAKE_CURRENT_SOURCE_DIR}/integration/peercheck_isolation_test.cpp)
    set_target_properties(peercheck_isolation_test PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(peercheck_isolation_test PRIVATE peercheck_engine harness common
        GTest::gtest_main nlohmann_json::nlohmann_json project_warnings)
    target_compile_definitions(peercheck_isolation_test PRIVATE BIN_DIR="${CMAKE_BINARY_DIR}/bin"
        TESTS_DIR="${CMAKE_BINARY_DIR}/tests")
    add_dependencies(peercheck_isolation_test peercheck misbehaving-impl gatekeep client server)
    gtest_discover_tests(peercheck_isolation_test TEST_PREFIX peercheck. DISCOVERY_TIMEOUT 30
        PROPERTIES TIMEOUT 120)
endif()

