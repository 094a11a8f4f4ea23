# peercheck's capture files: the writer's bytes checked block by block in every build.
if(TARGET peercheck_report)
    add_project_test(capture_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/capture_test.cpp
        LIBS peercheck_report)
endif()
