# zalvo_capture.exe (included by capture.cmake on Windows): SigMF recordings only (no WAV
# library is built for Windows) and no pictures. The program, its helper DLLs, copies of
# ZalvoIntf.dll and of the simulator's libusb0.dll, and the placeholder images (images\) are put
# together in <build>/capture: the program finds everything beside itself, and there "simulate"
# runs on the simulated board.
set(_capdir ${CMAKE_BINARY_DIR}/capture)

add_library(zalvo_capture_core STATIC
  ${_cap}/options.cpp ${_cap}/sample_file.cpp ${_cap}/sigmf.cpp ${_cap}/losses.cpp
  ${_cap}/outputs.cpp ${_cap}/advice.cpp ${_cap}/stderr_tap.cpp ${_cap}/sys_win32.cpp)
target_include_directories(zalvo_capture_core PUBLIC ${_cap})
target_compile_definitions(zalvo_capture_core PUBLIC ZALVO_VERSION="${PROJECT_VERSION}"
  ZALVO_CAPTURE_WAV=0 ZALVO_CAPTURE_PICTURES=0)
target_link_libraries(zalvo_capture_core PUBLIC Threads::Threads bcrypt
  PRIVATE nlohmann_json::nlohmann_json zalvo_warnings)

add_library(zalvo_capture_sim SHARED ${_cap}/sim_bridge.cpp)
target_include_directories(zalvo_capture_sim PRIVATE ${_cap})
target_compile_definitions(zalvo_capture_sim PRIVATE ${_cap_export})
target_link_libraries(zalvo_capture_sim PRIVATE usbsim_shared nlohmann_json::nlohmann_json zalvo_warnings)

add_library(zalvo_capture_board SHARED ${_cap}/board_report.cpp ${_cap}/raw_record.cpp)
target_include_directories(zalvo_capture_board PRIVATE ${_cap})
target_compile_definitions(zalvo_capture_board PRIVATE ${_cap_export})
target_link_libraries(zalvo_capture_board PRIVATE
  zalvo_device zalvo_prims zalvo_md5 zalvo_os zalvo_warnings)

add_executable(zalvo_capture ${_cap}/main.cpp ${_cap}/session.cpp ${_cap}/raw.cpp
  ${_cap}/module.cpp)
target_include_directories(zalvo_capture PRIVATE ${CMAKE_SOURCE_DIR}/host)
# Relative names are looked for in the program's folder.
target_compile_definitions(zalvo_capture PRIVATE
  ZALVO_MODULE_PATH="ZalvoIntf.dll"
  ZALVO_CAPTURE_SIM_PLUGIN="zalvo_capture_sim.dll"
  ZALVO_CAPTURE_BOARD_PLUGIN="zalvo_capture_board.dll"
  ZALVO_IMAGES_DIR="images")
target_link_libraries(zalvo_capture PRIVATE zalvo_capture_core zalvo_warnings)
set_target_properties(zalvo_capture zalvo_capture_sim zalvo_capture_board PROPERTIES
  PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${_capdir})

add_custom_command(
  OUTPUT ${_capdir}/ZalvoIntf.dll ${_capdir}/libusb0.dll
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_capdir}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:ZalvoIntf> $<TARGET_FILE:usbsim_shared> ${_capdir}
  DEPENDS ZalvoIntf usbsim_shared $<TARGET_FILE:ZalvoIntf> $<TARGET_FILE:usbsim_shared>
  VERBATIM)
add_custom_target(zalvo_capture_dlls ALL DEPENDS ${_capdir}/ZalvoIntf.dll ${_capdir}/libusb0.dll)
add_dependencies(zalvo_capture zalvo_capture_dlls zalvo_capture_sim zalvo_capture_board)

# The placeholder images need Wine to be made in a cross build (see images.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/images.cmake)
if(TARGET zalvo_images)
  add_custom_command(TARGET zalvo_capture POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${ZALVO_IMAGES_DIR} ${_capdir}/images VERBATIM)
  add_dependencies(zalvo_capture zalvo_images)
endif()
