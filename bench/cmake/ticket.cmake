# Sealing speed of this machine, the reference for the ticket transfer benchmark
# (bench/ticket_bench.sh).
add_executable(seal_speed ${CMAKE_CURRENT_SOURCE_DIR}/seal_speed.cpp)
target_link_libraries(seal_speed PRIVATE common project_warnings)
