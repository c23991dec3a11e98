# Windows pieces of the platform layer (included by platform/CMakeLists.txt on Windows).
#
# libusb0.dll comes with the board's libusb-win32 driver; no SDK is needed to link against it:
# its import library is made here from our own export list.
set(_zalvo_libusb0_def ${CMAKE_CURRENT_LIST_DIR}/libusb0.def)
set(_zalvo_libusb0_implib ${CMAKE_CURRENT_BINARY_DIR}/libusb0_import.a)
add_custom_command(
  OUTPUT ${_zalvo_libusb0_implib}
  COMMAND ${CMAKE_DLLTOOL} -d ${_zalvo_libusb0_def} -l ${_zalvo_libusb0_implib} -D libusb0.dll
  DEPENDS ${_zalvo_libusb0_def}
  COMMENT "Import library of libusb0.dll"
  VERBATIM)
add_custom_target(zalvo_libusb0_implib DEPENDS ${_zalvo_libusb0_implib})
add_library(zalvo_libusb0 INTERFACE)
target_link_libraries(zalvo_libusb0 INTERFACE ${_zalvo_libusb0_implib})
add_dependencies(zalvo_libusb0 zalvo_libusb0_implib)
target_link_libraries(zalvo_usb_api INTERFACE zalvo_libusb0)
