# zalvo_capture: the program people run. Records the four receivers through the module (on a
# board, or on the simulated one) into WAV files and pictures, and lists the boards on the bus.
#   zalvo_capture_core   options, WAV writers (libsndfile's, and the own one the Windows build
#                        uses), spectra, pictures, standard-error tap (no USB)
#   zalvo_capture        the program; loads the module by path and links no USB library
#   zalvo_capture_sim    loaded by "simulate": the simulated USB library and its world
#   zalvo_capture_board  loaded by "info" and --raw: the board report and the raw recording over
#                        the device layer
if(NOT TARGET ZalvoIntf)
  return()
endif()

set(_cap ${CMAKE_CURRENT_LIST_DIR}/capture)
find_package(Threads REQUIRED)
if(WIN32)
  # The header-only library of the build machine (Debian's nlohmann-json3-dev), seen through a
  # folder of its own: the build machine's other headers must not reach the cross compiler.
  find_path(_zalvo_json_root nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(_zalvo_json_dir ${CMAKE_BINARY_DIR}/json-include)
  file(MAKE_DIRECTORY ${_zalvo_json_dir})
  file(CREATE_LINK ${_zalvo_json_root}/nlohmann ${_zalvo_json_dir}/nlohmann SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${_zalvo_json_dir})
else()
  find_package(nlohmann_json 3 REQUIRED)
endif()
# Exported functions of the helper libraries.
if(WIN32)
  set(_cap_export "ZALVO_CAPTURE_EXPORT=__declspec(dllexport)")
else()
  set(_cap_export "ZALVO_CAPTURE_EXPORT=__attribute__((visibility(\"default\")))")
endif()

# Built for installing (scripts/package.sh): the Debian package, whose program looks for the
# module, the helpers and the placeholder images at their installed places
# (cmake/ZalvoInstall.cmake), or the Windows ZIP; otherwise a build tree, whose program looks
# where this build made them. The advice for failures names what the user has.
option(ZALVO_INSTALLED_PATHS "zalvo_capture is built for a package, not to run from the build tree" OFF)
if(NOT ZALVO_INSTALLED_PATHS)
  set(_cap_installation 0)
elseif(WIN32)
  set(_cap_installation 2)
else()
  set(_cap_installation 1)
endif()
set(_cap_advice_defs ZALVO_INSTALLATION=${_cap_installation} ZALVO_BUILD_DIR="${CMAKE_BINARY_DIR}"
  ZALVO_IMAGE_ROOT="${ZALVO_IMAGE_ROOT}")

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/capture_win32.cmake)
  return()
endif()

# The placeholder images (ZALVO_IMAGES_DIR), which "simulate" uses when USRP_PATH is not set.
include(${CMAKE_CURRENT_LIST_DIR}/images.cmake)

pkg_check_modules(CAPTURE_FFTW REQUIRED IMPORTED_TARGET fftw3f)
pkg_check_modules(CAPTURE_CAIRO REQUIRED IMPORTED_TARGET cairo fontconfig)
pkg_check_modules(CAPTURE_SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(CAPTURE_MD REQUIRED IMPORTED_TARGET libmd)

add_library(zalvo_capture_core STATIC
  ${_cap}/options.cpp ${_cap}/usage.cpp ${_cap}/wav_writer.cpp ${_cap}/wav_file.cpp
  ${_cap}/sample_file.cpp
  ${_cap}/sigmf.cpp
  ${_cap}/losses.cpp ${_cap}/outputs.cpp ${_cap}/spectrum.cpp ${_cap}/picture.cpp
  ${_cap}/advice.cpp ${_cap}/stderr_tap.cpp ${_cap}/sys_posix.cpp)
target_include_directories(zalvo_capture_core PUBLIC ${_cap})
target_link_libraries(zalvo_capture_core
  PUBLIC PkgConfig::CAPTURE_FFTW PkgConfig::CAPTURE_CAIRO PkgConfig::CAPTURE_SNDFILE Threads::Threads
    ${CMAKE_DL_LIBS}
  PRIVATE PkgConfig::CAPTURE_MD nlohmann_json::nlohmann_json zalvo_warnings)
target_compile_definitions(zalvo_capture_core PUBLIC ZALVO_VERSION="${PROJECT_VERSION}"
  PRIVATE ${_cap_advice_defs})

add_library(zalvo_capture_sim SHARED ${_cap}/sim_bridge.cpp)
target_include_directories(zalvo_capture_sim PRIVATE ${_cap})
target_compile_definitions(zalvo_capture_sim PRIVATE ${_cap_export})
target_link_libraries(zalvo_capture_sim PRIVATE usbsim_shared nlohmann_json::nlohmann_json zalvo_warnings)

add_library(zalvo_capture_board SHARED ${_cap}/board_report.cpp ${_cap}/raw_record.cpp)
target_include_directories(zalvo_capture_board PRIVATE ${_cap})
target_compile_definitions(zalvo_capture_board PRIVATE ${_cap_export})
target_link_libraries(zalvo_capture_board PRIVATE
  zalvo_device zalvo_prims zalvo_md5 zalvo_os PkgConfig::LIBUSB zalvo_warnings)
# The helpers export their entry points only: a host that loads them sees nothing else.
foreach(_plugin zalvo_capture_sim zalvo_capture_board)
  target_link_options(${_plugin} PRIVATE -Wl,--version-script=${_cap}/plugin.map)
  set_target_properties(${_plugin} PROPERTIES LINK_DEPENDS ${_cap}/plugin.map)
endforeach()
add_executable(zalvo_capture ${_cap}/main.cpp ${_cap}/session.cpp ${_cap}/exchange.cpp
  ${_cap}/console.cpp ${_cap}/raw.cpp ${_cap}/module.cpp)
target_include_directories(zalvo_capture PRIVATE ${CMAKE_SOURCE_DIR}/host)
if(ZALVO_INSTALLED_PATHS)
  set(_libdir ${CMAKE_INSTALL_FULL_LIBDIR}/zalvo)
  target_compile_definitions(zalvo_capture PRIVATE
    ZALVO_MODULE_PATH="${_libdir}/$<TARGET_FILE_NAME:ZalvoIntf>"
    ZALVO_CAPTURE_SIM_PLUGIN="${_libdir}/$<TARGET_FILE_NAME:zalvo_capture_sim>"
    ZALVO_CAPTURE_BOARD_PLUGIN="${_libdir}/$<TARGET_FILE_NAME:zalvo_capture_board>"
    ZALVO_IMAGES_DIR="${CMAKE_INSTALL_FULL_DATADIR}/zalvo/simulator")
else()
  target_compile_definitions(zalvo_capture PRIVATE
    ZALVO_MODULE_PATH="$<TARGET_FILE:ZalvoIntf>"
    ZALVO_CAPTURE_SIM_PLUGIN="$<TARGET_FILE:zalvo_capture_sim>"
    ZALVO_CAPTURE_BOARD_PLUGIN="$<TARGET_FILE:zalvo_capture_board>"
    ZALVO_IMAGES_DIR="${ZALVO_IMAGES_DIR}")
endif()
target_link_libraries(zalvo_capture PRIVATE zalvo_capture_core ${CMAKE_DL_LIBS} zalvo_warnings)
# Everything "simulate" and "info" load at run time is built with the program.
add_dependencies(zalvo_capture ZalvoIntf zalvo_capture_sim zalvo_capture_board zalvo_images)
