# The whole module, loaded with dlopen as a host loads it, streaming four receivers from the
# free-running simulated board: seconds of signal processed per second of processor time.
if(NOT WIN32 AND TARGET ZalvoIntf AND TARGET usbsim_shared)
  include(${CMAKE_SOURCE_DIR}/tools/images.cmake)
  add_executable(module_bench ${CMAKE_CURRENT_LIST_DIR}/module_stream_bench.cpp)
  target_include_directories(module_bench PRIVATE ${CMAKE_SOURCE_DIR}/host)
  target_link_libraries(module_bench PRIVATE usbsim_shared benchmark::benchmark
    benchmark::benchmark_main ${CMAKE_DL_LIBS} zalvo_warnings)
  target_compile_definitions(module_bench PRIVATE
    ZALVO_MODULE_PATH="$<TARGET_FILE:ZalvoIntf>" ZALVO_IMAGES_DIR="${ZALVO_IMAGES_DIR}")
  add_dependencies(module_bench ZalvoIntf zalvo_images)
endif()
