# Placeholder firmware and bitstreams for the simulated board, generated at build time under
# <build>/images/rev<N>/ (N = 0..4), so that USRP_PATH=<build>/images works with the simulator.
# Include once; the target zalvo_images builds them.
if(TARGET zalvo_images)
  return()
endif()
# The generator runs at build time: a cross build needs an emulator for it (e.g. Wine).
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(STATUS "Placeholder images not generated: cross build without an emulator")
  return()
endif()

add_executable(zalvo_make_images ${CMAKE_CURRENT_LIST_DIR}/images/make_images.cpp)
target_link_libraries(zalvo_make_images PRIVATE zalvo_warnings)

set(ZALVO_IMAGES_DIR ${CMAKE_BINARY_DIR}/images CACHE INTERNAL "Placeholder images for the simulator")
set(_zalvo_image_files)
foreach(_rev RANGE 0 4)
  foreach(_name std.ihx std_4rx_0tx.rbf std_2rxhb_2tx.rbf)
    list(APPEND _zalvo_image_files ${ZALVO_IMAGES_DIR}/rev${_rev}/${_name})
  endforeach()
endforeach()

add_custom_command(
  OUTPUT ${_zalvo_image_files}
  COMMAND zalvo_make_images ${ZALVO_IMAGES_DIR} 0 4
  DEPENDS zalvo_make_images
  COMMENT "Generating placeholder images in ${ZALVO_IMAGES_DIR}"
  VERBATIM)
add_custom_target(zalvo_images ALL DEPENDS ${_zalvo_image_files})
