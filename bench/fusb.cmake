# Reading the free-running simulated board through the ring of bulk transfers, next to memcpy.
if(TARGET usbsim AND TARGET zalvo_fusb)
  add_executable(fusb_bench ${CMAKE_CURRENT_LIST_DIR}/fusb_ring_bench.cpp)
  target_link_libraries(fusb_bench PRIVATE zalvo_fusb usbsim benchmark::benchmark zalvo_warnings)
endif()
