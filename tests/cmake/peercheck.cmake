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
