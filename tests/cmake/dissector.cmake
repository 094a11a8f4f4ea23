# The Wireshark plugin read back through tshark, on captures of real runs. Registered only in
# builds without sanitizers: it checks Lua run by tshark, and the programs it watches have their
# own tests under the sanitizers. Skipped (exit 77) where tshark, lua-luaossl or capture is missing.
if(NOT CMAKE_CXX_FLAGS MATCHES "sanitize")
    add_test(NAME dissector COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/dissector/dissector_test.sh)
    set_tests_properties(dissector PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 ENVIRONMENT
        "BIN=$<TARGET_FILE_DIR:client>;PLUGIN=${CMAKE_SOURCE_DIR}/dissector/udp_file_transfer.lua")
endif()
