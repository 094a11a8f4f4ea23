# The conformance runner against our own programs, broken stand-ins, and a host whose name
# resolves to 127.0.1.1. Every case is named peercheck.<suite>.<test>, so `ctest -R peercheck`
# selects these with the reporters' tests.
if(TARGET peercheck)
    find_package(nlohmann_json 3 REQUIRED)
    add_project_test(peercheck_test PREFIX peercheck. TIMEOUT 300
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/integration/peercheck_test.cpp
        LIBS peercheck_cli peercheck_engine nlohmann_json::nlohmann_json
        DEFINES BIN_DIR="${CMAKE_BINARY_DIR}/bin"
        PROGRAMS peercheck peercheck-pass-client peercheck-pass-server gatekeep client server
            lockbox-badhash lockbox-skipid lockbox-badreq latchkey-badjoin)
    # The processes peercheck starts, on their own.
    add_project_test(peercheck_process_test
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/peercheck_process_test.cpp LIBS peercheck_engine
        PROGRAMS peercheck gatekeep client server)
    target_compile_definitions(peercheck_process_test PRIVATE BIN_DIR="${CMAKE_BINARY_DIR}/bin")
endif()

# The runner's own logic without processes: the catalogue, the changes cases make, the exact
# checks and their likely causes.
if(TARGET peercheck_engine)
    add_project_test(peercheck_cases_test PREFIX peercheck.
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/peercheck_cases_test.cpp LIBS peercheck_engine)
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

    add_project_test(peercheck_isolation_test PREFIX peercheck. TIMEOUT 120
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/integration/peercheck_isolation_test.cpp
        LIBS peercheck_engine nlohmann_json::nlohmann_json
        DEFINES BIN_DIR="${CMAKE_BINARY_DIR}/bin" TESTS_DIR="${CMAKE_BINARY_DIR}/tests"
        PROGRAMS peercheck misbehaving-impl gatekeep client server)
endif()

