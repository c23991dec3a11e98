# How fast the simulated board's free-running stream comes out of usb_bulk_read.
add_executable(sim_bench ${CMAKE_CURRENT_LIST_DIR}/sim_stream_bench.cpp)
target_link_libraries(sim_bench PRIVATE usbsim benchmark::benchmark benchmark::benchmark_main zalvo_warnings)
