# Fuzz targets: one per function that decides what a received datagram means. The fuzz build
# (BUILD_FUZZERS, clang) links each with libFuzzer into build/<preset>/fuzzers/; ordinary builds
# link the same source with a replay main and replay its committed corpus as the ctest case
# fuzz_replay.<target>. This file is also included on its own by the fuzz build, which skips the
# rest of the tests, so every path here starts from the project's source folder.

set(FUZZ_DIR ${PROJECT_SOURCE_DIR}/tests/fuzz)
if(BUILD_FUZZERS)
    # Every libFuzzer target and nothing else: `cmake --build --preset fuzz --target fuzzers`.
    add_custom_target(fuzzers)
endif()

# add_fuzz_target(<function> [LIBS <libraries>])
# Sources tests/fuzz/<function>.cpp. Skipped while one of its libraries does not exist yet.
function(add_fuzz_target name)
    cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
    foreach(lib IN LISTS F_LIBS)
        if(NOT TARGET ${lib})
            return()
        endif()
    endforeach()
    set(src ${FUZZ_DIR}/${name}.cpp)
    if(BUILD_FUZZERS)
        add_executable(fuzz_${name} ${src})
        target_include_directories(fuzz_${name} PRIVATE ${FUZZ_DIR})
        target_link_libraries(fuzz_${name} PRIVATE common project_warnings ${F_LIBS})
        target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
        set_target_properties(fuzz_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzzers)
        add_dependencies(fuzzers fuzz_${name})
    endif()
    if(BUILD_TESTING)
        add_executable(replay_${name} ${src} ${FUZZ_DIR}/replay_main.cpp)
        target_include_directories(replay_${name} PRIVATE ${FUZZ_DIR})
        target_link_libraries(replay_${name} PRIVATE common project_warnings ${F_LIBS})
        set_target_properties(replay_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
        add_test(NAME fuzz_replay.${name} COMMAND replay_${name} ${FUZZ_DIR}/corpus/${name})
        set_tests_properties(fuzz_replay.${name} PROPERTIES TIMEOUT 60)
    endif()
endfunction()

# The shared decoders.
add_fuzz_target(unseal_as_rep_body)
add_fuzz_target(read_ap_req)
add_fuzz_target(read_ap_rep_answer)
add_fuzz_target(unseal_krb_prv)
add_fuzz_target(decode_pass_resp)
add_fuzz_target(read_data)
# Each program's decisions.
add_fuzz_target(gatekeep_classify LIBS gatekeep_steps)
add_fuzz_target(client_check_as_reply LIBS client_steps)
add_fuzz_target(client_check_ap_reply LIBS client_steps)
add_fuzz_target(client_check_envelope LIBS client_steps)
add_fuzz_target(server_check_ap_req LIBS server_steps)
add_fuzz_target(server_check_request LIBS server_steps)
add_fuzz_target(lockbox_is_join_req LIBS lockbox_steps)
add_fuzz_target(lockbox_check_password LIBS lockbox_steps)
add_fuzz_target(lockbox_classify_any LIBS lockbox_steps)
add_fuzz_target(latchkey_is_first_pass_req LIBS latchkey_steps)
add_fuzz_target(latchkey_judge_answer LIBS latchkey_steps)
add_fuzz_target(latchkey_is_data LIBS latchkey_steps)
add_fuzz_target(latchkey_next_piece LIBS latchkey_steps)
add_fuzz_target(latchkey_terminate_matches LIBS latchkey_steps)

if(BUILD_TESTING)
    # Rewrites the seed corpora: fuzz_make_corpus tests/fuzz/corpus
    add_executable(fuzz_make_corpus ${FUZZ_DIR}/make_corpus.cpp)
    target_include_directories(fuzz_make_corpus PRIVATE ${FUZZ_DIR})
    target_link_libraries(fuzz_make_corpus PRIVATE common project_warnings)
    set_target_properties(fuzz_make_corpus PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endif()

# Hostile-peer tests: each program driven to every receive point by a scripted peer, then given
# datagrams of every size and length-field value. Meant for the asan build, where any read
# outside a buffer ends the program with a report and a non-zero status.
if(BUILD_TESTING)
    foreach(program gatekeep client server lockbox latchkey)
        set(source ${CMAKE_CURRENT_SOURCE_DIR}/integration/hostile_${program}_test.cpp)
        set(deliverables ${program})
        if(program STREQUAL "lockbox")
            set(deliverables lockbox-badhash lockbox-skipid lockbox-badreq)
        elseif(program STREQUAL "latchkey")
            set(deliverables latchkey-badjoin)
        endif()
        set(ready TRUE)
        foreach(d IN LISTS deliverables)
            if(NOT TARGET ${d})
                set(ready FALSE)
            endif()
        endforeach()
        if(ready AND EXISTS ${source})
            add_project_test(hostile_${program}_test SOURCES ${source} PROGRAMS ${deliverables}
                TIMEOUT 300)
        endif()
    endforeach()
endif()
