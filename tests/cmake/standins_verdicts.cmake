# peercheck against the stand-ins of tests/standins/ (after standins.cmake, which builds them):
# faults caught with their likely causes, conforming choices passed, inert ones failed. Not in the
# sanitizer build: it checks verdicts, which the optimised build gives alike, and takes minutes there.
if(TARGET peercheck AND TARGET standin AND NOT CMAKE_CXX_FLAGS MATCHES "sanitize")
    add_project_test(peercheck_standins_test PREFIX peercheck. TIMEOUT 300
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/integration/peercheck_standins_test.cpp
        LIBS peercheck_engine nlohmann_json::nlohmann_json
        DEFINES BIN_DIR="${CMAKE_BINARY_DIR}/bin" STANDIN_BIN="$<TARGET_FILE:standin>"
        PROGRAMS peercheck standin gatekeep client server peercheck-pass-client
            peercheck-pass-server latchkey-badjoin)
endif()
