# The conformance runner against our own programs, broken stand-ins, and a host whose name
# resolves to 127.0.1.1. Every case is named peercheck.<suite>.<test>, so `ctest -R peercheck`
# selects these with the reporters' tests.
if(TARGET peercheck)
    find_package(nlohmann_json 3 REQUIRED)
    add_executable(peercheck_test ${CMAKE_CURRENT_SOURCE_DIR}/integration/peercheck_test.cpp)
    set_target_properties(peercheck_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(peercheck_test PRIVATE peercheck_engine harness common GTest::gtest_main
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
