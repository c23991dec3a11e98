# The side-by-side benchmark of resamplers, the machine's floor and the pipeline pass
# (scripts/bench.sh runs it). Each resampling library is optional: built in when pkg-config (or,
# for liquid-dsp, its header and library) finds it; the module never depends on any of them.
add_executable(perf_bench
  ${CMAKE_CURRENT_LIST_DIR}/perf_main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/perf_resamplers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/perf_quality.cpp
  ${CMAKE_CURRENT_LIST_DIR}/perf_floor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/perf_module.cpp)
# The test-support library (signal measurement, the recording host): tests/ makes it, or this
# file when the tests are not built.
if(NOT TARGET zalvo_test_support)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/tests/support)
endif()
target_link_libraries(perf_bench PRIVATE zalvo_host_core zalvo_test_support benchmark::benchmark
  zalvo_warnings)

# The pass alone, without the benchmark library: the same program is cross-built for Windows
# by scripts/bench.sh and run under Wine.
add_executable(perf_pass ${CMAKE_CURRENT_LIST_DIR}/perf_pass_main.cpp)
target_link_libraries(perf_pass PRIVATE zalvo_host_core zalvo_warnings)

pkg_check_modules(PERF_SOXR QUIET IMPORTED_TARGET soxr)
pkg_check_modules(PERF_SPEEXDSP QUIET IMPORTED_TARGET speexdsp)
pkg_check_modules(PERF_SAMPLERATE QUIET IMPORTED_TARGET samplerate)
find_path(PERF_LIQUID_INCLUDE liquid/liquid.h)
find_library(PERF_LIQUID_LIBRARY liquid)
foreach(_lib SOXR SPEEXDSP SAMPLERATE)
  if(PERF_${_lib}_FOUND)
    target_compile_definitions(perf_bench PRIVATE PERF_HAVE_${_lib}=1)
    target_link_libraries(perf_bench PRIVATE PkgConfig::PERF_${_lib})
  endif()
endforeach()
if(PERF_LIQUID_INCLUDE AND PERF_LIQUID_LIBRARY)
  target_compile_definitions(perf_bench PRIVATE PERF_HAVE_LIQUID=1)
  target_include_directories(perf_bench PRIVATE ${PERF_LIQUID_INCLUDE})
  target_link_libraries(perf_bench PRIVATE ${PERF_LIQUID_LIBRARY})
endif()

# The whole module on the simulated bus, when both are built.
if(TARGET ZalvoIntf AND TARGET usbsim_shared)
  target_compile_definitions(perf_bench PRIVATE PERF_HAVE_MODULE=1)
  target_link_libraries(perf_bench PRIVATE zalvo_module_host usbsim_shared)
endif()
