# Stand-in implementations of every role, for testing the conformance runner: one program,
# `standin ROLE VARIANT ARGS...`, built into the build's tests/ folder and never installed.
set(STANDIN_SOURCES client.cpp gatekeep.cpp latchkey.cpp lockbox.cpp main.cpp runtime.cpp
    server.cpp variants.cpp)
list(TRANSFORM STANDIN_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/standins/)
add_executable(standin ${STANDIN_SOURCES})
set_target_properties(standin PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
target_link_libraries(standin PRIVATE common project_warnings)
# The variant whose CBC state carries over calls the library's DES routine itself.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/standins/runtime.cpp
    PROPERTIES COMPILE_DEFINITIONS OPENSSL_SUPPRESS_DEPRECATED)


add_project_test(standin_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/integration/standin_test.cpp
    PROGRAMS standin gatekeep server client peercheck-pass-client peercheck-pass-server TIMEOUT 120)
target_compile_definitions(standin_test PRIVATE
    STANDIN_BIN="$<TARGET_FILE:standin>"
    PASS_CLIENT_BIN="$<TARGET_FILE:peercheck-pass-client>"
    PASS_SERVER_BIN="$<TARGET_FILE:peercheck-pass-server>")
