# zalvo_capture.exe (included by capture.cmake on Windows): WAV files (the program's own writer,
# wav_file.cpp: no libsndfile is built for Windows) and SigMF recordings; no pictures. The
# program, its board report DLL and a copy of ZalvoIntf.dll are put together in <build>/capture,
# the simulated board in its subfolder simulator\ (the ZIP has the same layout): the program finds
# everything relative to itself.
#
# "simulate" needs the simulator in place of libusb-win32's libusb0.dll: imports bind by DLL
# name, and a DLL of that name already loaded serves every later import of it. So the simulator
# and the tool's bridge to it are one DLL named libusb0.dll, kept in simulator\, where no program
# searches for its DLLs; only "simulate" (and "info --simulate") load it, by its path, before the
# module and the board report, whose imports of libusb0.dll then bind to it. The bridge is in
# the same DLL so that the simulator's errors (C++ exceptions) are caught in the DLL that throws
# them: each DLL carries its own runtime, and an exception cannot pass from one to another.
set(_capdir ${CMAKE_BINARY_DIR}/capture)

add_library(zalvo_capture_core STATIC
  ${_cap}/options.cpp ${_cap}/usage.cpp ${_cap}/wav_file.cpp ${_cap}/sample_file.cpp
  ${_cap}/sigmf.cpp
  ${_cap}/losses.cpp ${_cap}/outputs.cpp ${_cap}/advice.cpp ${_cap}/stderr_tap.cpp
  ${_cap}/sys_win32.cpp)
target_include_directories(zalvo_capture_core PUBLIC ${_cap})
target_compile_definitions(zalvo_capture_core PUBLIC ZALVO_VERSION="${PROJECT_VERSION}"
  ZALVO_CAPTURE_SNDFILE=0 ZALVO_CAPTURE_PICTURES=0 PRIVATE ${_cap_advice_defs})
target_link_libraries(zalvo_capture_core PUBLIC Threads::Threads bcrypt
  PRIVATE nlohmann_json::nlohmann_json zalvo_warnings)

add_library(zalvo_capture_sim SHARED $<TARGET_OBJECTS:usbsim_objects> ${_cap}/sim_bridge.cpp)
target_include_directories(zalvo_capture_sim PRIVATE ${_cap} ${CMAKE_SOURCE_DIR}/sim)
target_compile_definitions(zalvo_capture_sim PRIVATE ${_cap_export})
target_link_libraries(zalvo_capture_sim PRIVATE Threads::Threads zalvo_md5
  nlohmann_json::nlohmann_json zalvo_warnings)

add_library(zalvo_capture_board SHARED ${_cap}/board_report.cpp ${_cap}/raw_record.cpp)
target_include_directories(zalvo_capture_board PRIVATE ${_cap})
target_compile_definitions(zalvo_capture_board PRIVATE ${_cap_export})
target_link_libraries(zalvo_capture_board PRIVATE
  zalvo_device zalvo_prims zalvo_md5 zalvo_os zalvo_warnings)

add_executable(zalvo_capture ${_cap}/main.cpp ${_cap}/session.cpp ${_cap}/exchange.cpp
  ${_cap}/console.cpp ${_cap}/raw.cpp ${_cap}/module.cpp)
target_include_directories(zalvo_capture PRIVATE ${CMAKE_SOURCE_DIR}/host)
# Relative names are taken from the program's folder.
target_compile_definitions(zalvo_capture PRIVATE
  ZALVO_MODULE_PATH="ZalvoIntf.dll"
  ZALVO_CAPTURE_SIM_PLUGIN="simulator/libusb0.dll"
  ZALVO_CAPTURE_BOARD_PLUGIN="zalvo_capture_board.dll"
  ZALVO_IMAGES_DIR="simulator/images")
target_link_libraries(zalvo_capture PRIVATE zalvo_capture_core zalvo_warnings)
set_target_properties(zalvo_capture zalvo_capture_board PROPERTIES
  PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${_capdir})
set_target_properties(zalvo_capture_sim PROPERTIES
  PREFIX "" OUTPUT_NAME libusb0 RUNTIME_OUTPUT_DIRECTORY ${_capdir}/simulator)

# A version resource for each file the ZIP ships beside ZalvoIntf.dll (which has its own); the
# simulated board's libusb0.dll says what it is, so that nobody takes it for the driver's.
function(_zalvo_capture_version target file type description)
  set(ZALVO_RC_FILE ${file})
  set(ZALVO_RC_NAME ${target})
  set(ZALVO_RC_TYPE ${type})
  set(ZALVO_RC_DESCRIPTION "${description}")
  configure_file(${_cap}/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
endfunction()
_zalvo_capture_version(zalvo_capture zalvo_capture.exe VFT_APP
  "ZalvoIntf capture tool: records the receivers of a USRP board")
_zalvo_capture_version(zalvo_capture_board zalvo_capture_board.dll VFT_DLL
  "ZalvoIntf capture tool: board report and raw recorder")
_zalvo_capture_version(zalvo_capture_sim libusb0.dll VFT_DLL
  "SIMULATED USRP board for zalvo_capture simulate: not the libusb-win32 driver")

add_custom_command(
  OUTPUT ${_capdir}/ZalvoIntf.dll
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_capdir}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:ZalvoIntf> ${_capdir}
  DEPENDS ZalvoIntf $<TARGET_FILE:ZalvoIntf>
  VERBATIM)
add_custom_target(zalvo_capture_dlls ALL DEPENDS ${_capdir}/ZalvoIntf.dll)
add_dependencies(zalvo_capture zalvo_capture_dlls zalvo_capture_sim zalvo_capture_board)

# The placeholder images need Wine to be made in a cross build (see images.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/images.cmake)
if(TARGET zalvo_images)
  add_custom_command(TARGET zalvo_capture POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${ZALVO_IMAGES_DIR} ${_capdir}/simulator/images
    VERBATIM)
  add_dependencies(zalvo_capture zalvo_images)
endif()
