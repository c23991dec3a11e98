# One pass of the sample pipeline at each output rate, and CResample::Process on one chunk.
add_executable(host_bench ${CMAKE_CURRENT_LIST_DIR}/host_pipeline_bench.cpp)
target_link_libraries(host_bench PRIVATE zalvo_host_core benchmark::benchmark zalvo_warnings)
