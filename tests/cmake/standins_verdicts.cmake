# peercheck against the stand-ins of tests/standins/ (after standins.cmake, which builds them):
# faults caught with their likely causes, conforming choices passed, inert ones failed. Not in the
# sanitizer build: it checks verdicts, which the optimised build gives alike, and takes minutes there.
if(TARGET peercheck AND TARGET standin AND NOT CMAKE_CXX_FLAGS MATCHES "sanitize")
    add_executable(peercheck_standins_test
        ${CMAKE_CURRENT_SOURCE_DIR}/integration/peercheck_standins_test.cpp)
    set_target_properties(peercheck_standins_test PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(peercheck_standins_test PRIVATE peercheck_engine harness common
        GTest::gtest_main nlohmann_json::nlohmann_json project_warnings)
    target_compile_definitions(peercheck_standins_test PRIVATE BIN_DIR="${CMAKE_BINARY_DIR}/bin"
        STANDIN_BIN="$<TARGET_FILE:standin>")
    add_dependencies(peercheck_standins_test peercheck standin gatekeep client server
        peercheck-pass-client peercheck-pass-server latchkey-badjoin)
    gtest_discover_tests(peercheck_standins_test TEST_PREFIX peercheck. DISCOVERY_TIMEOUT 30
        PROPERTIES TIMEOUT 300)
endif()
