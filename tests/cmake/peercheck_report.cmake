# The reporters of the conformance runner: decoding of exchanges and every output format.
# Built like add_project_test, with every case named peercheck_report.<suite>.<test> so that
# `ctest -R peercheck_report` selects exactly these.
if(TARGET peercheck_report)
    find_package(nlohmann_json 3 REQUIRED)
    find_package(pugixml REQUIRED)
    add_executable(peercheck_report_test ${CMAKE_CURRENT_SOURCE_DIR}/unit/peercheck_report_test.cpp)
    set_target_properties(peercheck_report_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(peercheck_report_test PRIVATE peercheck_report common harness GTest::gtest_main
        nlohmann_json::nlohmann_json pugixml::pugixml project_warnings)
    gtest_discover_tests(peercheck_report_test TEST_PREFIX peercheck_report. DISCOVERY_TIMEOUT 30
        PROPERTIES TIMEOUT 60)
endif()
