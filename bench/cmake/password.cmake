# The bare loopback UDP stream that the password transfer benchmark (bench/password_bench.sh)
# compares itself with.
add_executable(udp_stream ${CMAKE_CURRENT_SOURCE_DIR}/udp_stream.cpp)
target_link_libraries(udp_stream PRIVATE common project_warnings)
