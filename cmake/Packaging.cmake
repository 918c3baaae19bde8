# The packages, made by CPack from what cmake/Install.cmake installs.
#
# Linux:   cpack --config <build>/CPackConfig.cmake
#          -> raroredoziri_<version>_<arch>.deb: the host, the simulated
#             scale, the scale service and its systemd unit, the library,
#             its headers and CMake files, the guide.
# Windows: cpack --config <x64 build>/CPackConfig.cmake -D RD_X86_BUILD_DIR=<x86 build>
#          -> RaroreDoziri-<version>-windows.zip: x64/ from this build tree,
#             x86/ from the x86 build tree, each with RaroreDoziri.dll,
#             register.cmd and unregister.cmd; the type library, its C++
#             declarations, the samples and the guide at the top. Without
#             RD_X86_BUILD_DIR the ZIP holds only this tree's bitness.
#
# scripts/package.sh builds both and checks them.

set(CPACK_PACKAGE_NAME RaroreDoziri)
set(CPACK_PACKAGE_VENDOR "RaroreDoziri")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Driver for a weighing scale with a label printer, over a serial port or TCP/IP")
set(CPACK_PACKAGE_DESCRIPTION
  "The RaroreDoziri scale driver reads the live weight and tare of a weighing
scale with a built-in label printer and downloads goods texts, label formats,
locks and options to it, over a serial port or over TCP/IP (port 5001).")
set(CPACK_PACKAGE_CONTACT "RaroreDoziri developers <raroredoziri@example.org>")
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "RaroreDoziri-${PROJECT_VERSION}-windows")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  # Not stripped: the ZIP carries the very DLLs that the tests ran.
  # Read by cpack when it runs, so that the x86 tree can be named then.
  set(RD_PACKAGE_THIS_BUILD_DIR ${PROJECT_BINARY_DIR})
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(RD_PACKAGE_THIS_ARCH x64)
  else()
    set(RD_PACKAGE_THIS_ARCH x86)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/WindowsZipProjects.cmake.in
    ${PROJECT_BINARY_DIR}/WindowsZipProjects.cmake @ONLY)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/WindowsZipProjects.cmake)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME raroredoziri)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
