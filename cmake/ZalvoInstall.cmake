# Install rules and the packages that scripts/package.sh builds with CPack.
#
# Linux (Debian package "zalvointf"):
#   <libdir>/zalvo/libZalvoIntf.so         the module; hosts load it by this path
#   <libdir>/zalvo/zalvo_capture           the capture tool, with its helper libraries beside it
#   /usr/bin/zalvo_capture                 relative link to the tool
#   <datadir>/zalvo/usrp/README            the board's images go in rev<N>/ beside this note
#   <datadir>/zalvo/simulator/rev<N>/      placeholder images for "zalvo_capture simulate"
#   <udev rules>/60-zalvo-usrp.rules       board access for plugdev and the logged-in user
#   <mandir>/man1/zalvo_capture.1.gz, <docdir>: README.md, the Windows guide, scene-files.md (the
#                                          simulated board's scenes), copyright, changelog
# Linux, when the SoapySDR module is built (Debian package "soapysdr0.8-module-zalvo", component
# "soapy", depending on zalvointf of the same version):
#   <libdir>/SoapySDR/modules0.8/libzalvoSupport.so, <docdir of the package>: README, copyright,
#   its own changelog; suggests soapyremote-server
# Windows (ZIP "ZalvoIntf-<version>-win32"):
#   ZalvoIntf.dll, zalvo_capture.exe and zalvo_capture_board.dll (when built), the simulated
#   board simulator\libusb0.dll with its placeholder images in simulator\images\rev<N>\ and
#   its scene file format (simulator\scene-files.txt: docs/scene-files-windows.txt, the plain
#   text of docs/scene-files.md for Windows users), GUIDE.txt, LICENSE.txt, usrp\README.txt and
#   the empty usrp\rev4\ folder.
#
# One version everywhere: the project's (PROJECT_VERSION) names the packages, fills the DLL's
# version resource, the guide and the manual page, and is ZALVO_VERSION in the capture tool.

set(_zalvo_docs ${CMAKE_SOURCE_DIR}/docs)
set(_zalvo_gen ${CMAKE_BINARY_DIR}/package)
set(ZALVO_VERSION ${PROJECT_VERSION})
string(TIMESTAMP ZALVO_BUILD_YEAR "%Y" UTC)


# The Windows guide and the licence as plain text, with Windows line ends in the ZIP.
if(WIN32)
  set(_zalvo_newline CRLF)
else()
  set(_zalvo_newline UNIX)
endif()
configure_file(${_zalvo_docs}/windows-guide.txt ${_zalvo_gen}/GUIDE.txt @ONLY
  NEWLINE_STYLE ${_zalvo_newline})
configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${_zalvo_gen}/LICENSE.txt @ONLY
  NEWLINE_STYLE ${_zalvo_newline})

# The images folder's note, in each system's words: its search order is the module's.
if(WIN32)
  set(ZALVO_NOTE_TOOL "zalvo_capture.exe")
  set(ZALVO_NOTE_FILES "  rev4\\std.ihx            the controller firmware (Intel HEX)
  rev4\\std_4rx_0tx.rbf    the FPGA image with four receivers")
  set(ZALVO_NOTE_SEARCH "The module takes each file from the first of these folders that has it
(GUIDE.txt, section 4):
  1. %USRP_PATH%\\rev4\\     when the variable USRP_PATH is set
  2. \\usrp\\rev4\\           the folder usrp at the top of the current drive
  3. .\\usrp\\rev4\\          the folder usrp in the working folder
This folder is found as .\\usrp only while the working folder is the one
zalvo_capture.exe is in. For every program, copy it to C:\\usrp (found as
\\usrp on drive C:), or set USRP_PATH to the folder that holds rev4
(GUIDE.txt, section 5). With USRP_VERBOSE set the module reports each image
it loads.")
else()
  set(ZALVO_NOTE_TOOL "zalvo_capture")
  set(ZALVO_NOTE_FILES "  rev4/std.ihx            the controller firmware (Intel HEX)
  rev4/std_4rx_0tx.rbf    the FPGA image with four receivers")
  set(ZALVO_NOTE_SEARCH "The module looks in the folder named by USRP_PATH first, then in this
folder, then in ./usrp (the working folder's). With USRP_VERBOSE set it
reports each image it loads.")
endif()

set(CPACK_PACKAGE_VENDOR "ZalvoIntf developers")
set(CPACK_PACKAGE_CONTACT "ZalvoIntf developers <zalvointf@users.noreply.example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "USRP receiver interface module for SDR host programs")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

if(WIN32)
  # ---------------------------------------------------------------------------------------------
  # Windows: the version resource and the ZIP.
  file(CONFIGURE OUTPUT ${_zalvo_gen}/zalvo_version.h CONTENT
"// Generated from the project version; included by ZalvoIntf.rc.
#define ZALVO_VERSION_BINARY ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0
#define ZALVO_VERSION_TEXT \"${PROJECT_VERSION}\"
")
  if(TARGET ZalvoIntf)
    target_include_directories(ZalvoIntf PRIVATE ${_zalvo_gen})
    set_property(SOURCE ${CMAKE_SOURCE_DIR}/platform/win32/ZalvoIntf.rc
      DIRECTORY ${CMAKE_SOURCE_DIR}/host APPEND PROPERTY OBJECT_DEPENDS ${_zalvo_gen}/zalvo_version.h)
    install(TARGETS ZalvoIntf RUNTIME DESTINATION . LIBRARY DESTINATION . ARCHIVE EXCLUDE_FROM_ALL)
  endif()
  if(TARGET zalvo_capture)
    # The tool and its board report (info, --raw) beside the module. The simulated board for
    # "simulate" goes into simulator\ with its placeholder images: it is a libusb0.dll (the
    # module's import binds to it once the tool has loaded it by path), and in a folder of its
    # own no program finds it in place of the driver's.
    install(TARGETS zalvo_capture zalvo_capture_board RUNTIME DESTINATION .)
    install(TARGETS zalvo_capture_sim RUNTIME DESTINATION simulator)
    if(ZALVO_IMAGES_DIR)
      install(DIRECTORY ${ZALVO_IMAGES_DIR}/ DESTINATION simulator/images)
    endif()
    # How to write a scene file for it, and how to make it lose samples: plain text for Notepad.
    configure_file(${_zalvo_docs}/scene-files-windows.txt ${_zalvo_gen}/scene-files.txt @ONLY
      NEWLINE_STYLE CRLF)
    install(FILES ${_zalvo_gen}/scene-files.txt DESTINATION simulator)
  endif()
  install(FILES ${_zalvo_gen}/GUIDE.txt DESTINATION .)
  install(FILES ${_zalvo_gen}/LICENSE.txt DESTINATION .)
  configure_file(${_zalvo_docs}/images-note.txt ${_zalvo_gen}/usrp-README.txt @ONLY
    NEWLINE_STYLE CRLF)
  install(FILES ${_zalvo_gen}/usrp-README.txt DESTINATION usrp RENAME README.txt)
  install(DIRECTORY DESTINATION usrp/rev4)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME ZalvoIntf)
  set(CPACK_PACKAGE_FILE_NAME ZalvoIntf-${PROJECT_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
  return()
endif()

# -----------------------------------------------------------------------------------------------
# Linux: install rules and the Debian package.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(_zalvo_lib_mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(ZALVO_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/zalvointf)

# udev's rules folder: from udev's pkg-config file when there is one, else Debian's.
if(NOT ZALVO_UDEV_RULES_DIR)
  pkg_get_variable(_zalvo_udevdir udev udevdir)
  if(NOT _zalvo_udevdir)
    set(_zalvo_udevdir /lib/udev)
  endif()
  set(ZALVO_UDEV_RULES_DIR ${_zalvo_udevdir}/rules.d CACHE PATH "udev rules folder")
endif()

if(TARGET ZalvoIntf)
  install(TARGETS ZalvoIntf LIBRARY DESTINATION ${ZALVO_PKGLIBDIR} PERMISSIONS ${_zalvo_lib_mode})
endif()
if(TARGET zalvo_capture)
  # The tool finds its helper libraries beside itself (its real path), and the simulator's USB
  # library beside the helper that loads it.
  install(TARGETS zalvo_capture RUNTIME DESTINATION ${ZALVO_PKGLIBDIR})
  install(TARGETS zalvo_capture_sim zalvo_capture_board usbsim_shared
    LIBRARY DESTINATION ${ZALVO_PKGLIBDIR} PERMISSIONS ${_zalvo_lib_mode})
  set_target_properties(zalvo_capture_sim PROPERTIES INSTALL_RPATH "$ORIGIN")
  file(RELATIVE_PATH _zalvo_tool_link /${CMAKE_INSTALL_BINDIR}
    /${ZALVO_PKGLIBDIR}/zalvo_capture)
  install(CODE "
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${CMAKE_INSTALL_FULL_BINDIR}\")
    file(CREATE_LINK \"${_zalvo_tool_link}\"
         \"\$ENV{DESTDIR}${CMAKE_INSTALL_FULL_BINDIR}/zalvo_capture\" SYMBOLIC)")

  # Placeholder images: only the simulated board takes them.
  if(ZALVO_IMAGES_DIR)
    install(DIRECTORY ${ZALVO_IMAGES_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/zalvo/simulator
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()

  # Manual page, compressed as Debian wants it (no time stamp, best compression).
  configure_file(${_zalvo_docs}/zalvo_capture.1 ${_zalvo_gen}/zalvo_capture.1 @ONLY)
  add_custom_command(OUTPUT ${_zalvo_gen}/zalvo_capture.1.gz
    COMMAND gzip -9n -c ${_zalvo_gen}/zalvo_capture.1 > ${_zalvo_gen}/zalvo_capture.1.gz
    DEPENDS ${_zalvo_gen}/zalvo_capture.1 VERBATIM)
  add_custom_target(zalvo_manpage ALL DEPENDS ${_zalvo_gen}/zalvo_capture.1.gz)
  install(FILES ${_zalvo_gen}/zalvo_capture.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The images folder with its note, the udev rule, the documents.
configure_file(${_zalvo_docs}/images-note.txt ${_zalvo_gen}/images-README @ONLY)
install(FILES ${_zalvo_gen}/images-README DESTINATION ${CMAKE_INSTALL_DATADIR}/zalvo/usrp
  RENAME README)
install(FILES ${CMAKE_SOURCE_DIR}/scripts/udev/60-zalvo-usrp.rules
  DESTINATION ${ZALVO_UDEV_RULES_DIR})
# AppStream metadata: software centres offer the package when the board is plugged in.
install(FILES ${CMAKE_SOURCE_DIR}/scripts/udev/org.zalvo.zalvointf.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/copyright ${_zalvo_gen}/copyright @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog ${_zalvo_gen}/changelog @ONLY)
add_custom_command(OUTPUT ${_zalvo_gen}/changelog.gz
  COMMAND gzip -9n -c ${_zalvo_gen}/changelog > ${_zalvo_gen}/changelog.gz
  DEPENDS ${_zalvo_gen}/changelog VERBATIM)
add_custom_target(zalvo_changelog ALL DEPENDS ${_zalvo_gen}/changelog.gz)
install(FILES ${_zalvo_gen}/copyright ${_zalvo_gen}/changelog.gz ${CMAKE_SOURCE_DIR}/README.md
  ${_zalvo_gen}/GUIDE.txt ${_zalvo_docs}/scene-files.md DESTINATION ${ZALVO_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zalvointf)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/sim)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The synopsis line is CPACK_PACKAGE_DESCRIPTION_SUMMARY.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "ZalvoIntf is the receiver-hardware interface module that a host
software-defined-radio program loads by path to receive I/Q streams from
the four receivers of a USRP board on USB, resampled to 48, 96 or 192 kHz.
.
This package holds the module, the capture tool zalvo_capture (records the
receivers into WAV files and spectrum pictures, lists the boards on the bus,
and runs the same on a simulated board), a udev rule that lets the plugdev
group and the logged-in user open the board, and the folder for the board's
firmware and FPGA images.")
# The SoapySDR module as a package of its own, in the Debian naming style of SoapySDR modules.
if(TARGET zalvoSupport)
  set(_zalvo_soapy_pkg soapysdr${SOAPY_SDR_ABI_VERSION}-module-zalvo)
  # Its own changelog (a Debian package's changelog names that package).
  configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.soapy ${_zalvo_gen}/soapy/changelog @ONLY)
  add_custom_command(OUTPUT ${_zalvo_gen}/soapy/changelog.gz
    COMMAND gzip -9n -c ${_zalvo_gen}/soapy/changelog > ${_zalvo_gen}/soapy/changelog.gz
    DEPENDS ${_zalvo_gen}/soapy/changelog VERBATIM)
  add_custom_target(zalvo_soapy_changelog ALL DEPENDS ${_zalvo_gen}/soapy/changelog.gz)
  install(FILES ${_zalvo_gen}/copyright ${_zalvo_gen}/soapy/changelog.gz
    ${CMAKE_SOURCE_DIR}/soapy/README
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_zalvo_soapy_pkg} COMPONENT soapy)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL Unspecified soapy)
  # Each package's description starts with its own synopsis line (a summary left to CPack's
  # default is not put in front of them).
  set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME zalvointf)
  set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
  set(CPACK_DEBIAN_SOAPY_PACKAGE_NAME ${_zalvo_soapy_pkg})
  set(CPACK_DEBIAN_SOAPY_PACKAGE_DEPENDS "zalvointf (= ${PROJECT_VERSION})")
  # SoapyRemote's server serves the receivers to other machines (README.md, "Receivers on
  # another machine").
  set(CPACK_DEBIAN_SOAPY_PACKAGE_SUGGESTS "soapyremote-server")
  set(CPACK_DEBIAN_SOAPY_DESCRIPTION "SoapySDR module for the USRP receivers of ZalvoIntf
The SoapySDR device module zalvo gives the four receivers of a USRP board
on USB, driven by the ZalvoIntf receiver module, to every program that
uses SoapySDR (its utility, its Python binding, and programs built on it)
as four RX channels at 48, 96 or 192 kHz. With the device argument sim=1
it runs on the simulated board of the zalvointf package.")
endif()
include(CPack)
