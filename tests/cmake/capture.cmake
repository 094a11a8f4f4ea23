# peercheck's capture files: the writer's bytes checked block by block in every build, and the
# captures read back by tshark through the Wireshark plugin. The latter, like the test
# `dissector`, runs only in builds without sanitizers (it checks the Lua that tshark runs) and
# skips itself, with the reason, where tshark or lua-luaossl is missing.
if(TARGET peercheck_report)
    add_project_test(capture_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/capture_test.cpp
        LIBS peercheck_report)
    if(NOT CMAKE_CXX_FLAGS MATCHES "sanitize")
        add_project_test(capture_dissector_test
            SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/integration/capture_dissector_test.cpp
            LIBS peercheck_report peercheck_engine TIMEOUT 120)
        target_compile_definitions(capture_dissector_test PRIVATE
            PLUGIN="${CMAKE_SOURCE_DIR}/dissector/udp_file_transfer.lua")
    endif()
endif()
