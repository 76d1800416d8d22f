# Debian packages, one per install component. Included at the end of the
# top-level CMakeLists.txt, after every install() rule.
#
# Install rules name their component; each component that has at least one
# rule becomes one package, and a component without rules makes none:
#
#   COMPONENT tool    romwright          bin/romwright and its manual page
#   COMPONENT lib     libromwright0      the shared library: libromwright.so.0
#                                        and libromwright.so.0.x.y (install
#                                        with NAMELINK_COMPONENT dev)
#   COMPONENT dev     libromwright-dev   include/romwright/, libromwright.a,
#                                        the libromwright.so namelink,
#                                        lib/cmake/romwright/ and
#                                        lib/pkgconfig/romwright.pc
#   COMPONENT python  python3-romwright  the module, installed to
#                                        lib/python3/dist-packages
#
# For example:
#   install(TARGETS romwright_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
#     COMPONENT lib NAMELINK_COMPONENT dev)
#   install(TARGETS romwright_python LIBRARY DESTINATION lib/python3/dist-packages
#     COMPONENT python)
#
# An install rule without a component, or with another name, stops the
# configuration here: its files would be in no package.
#
# The packages come from `make package` (packaging/build-packages.sh), which
# configures a build of its own: the tool linked dynamically, Debian's
# hardening flags, /usr as prefix, and debug information that cpack splits
# into -dbgsym packages (.ddeb) while it strips the files it packs.

set(ROMWRIGHT_PACKAGE_MAINTAINER "romwright maintainers <maintainers@romwright.dev>")

set(_rw_known_components tool lib dev python)
set(_rw_package_tool romwright)
set(_rw_package_lib libromwright0)
set(_rw_package_dev libromwright-dev)
set(_rw_package_python python3-romwright)

get_cmake_property(_rw_components COMPONENTS)
set(_rw_packaged "")
foreach(_rw_c IN LISTS _rw_components)
  if(NOT _rw_c IN_LIST _rw_known_components)
    message(FATAL_ERROR "An install rule names component '${_rw_c}', which is in no package: "
      "use one of ${_rw_known_components} (see cmake/packaging.cmake)")
  endif()
  list(APPEND _rw_packaged ${_rw_c})
endforeach()

# Every package carries the copyright file and the Debian changelog in
# /usr/share/doc/PACKAGE, and its lintian overrides (packaging/
# lintian-overrides says why each is there). EXCLUDE_FROM_ALL keeps them
# out of a plain `cmake --install`; cpack installs each component by name
# and gets them.
set(_rw_changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
execute_process(COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\""
    ${PROJECT_SOURCE_DIR}/packaging/changelog ${_rw_changelog}
  RESULT_VARIABLE _rw_gzip)
if(NOT _rw_gzip EQUAL 0)
  message(FATAL_ERROR "gzip of packaging/changelog failed")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
foreach(_rw_c IN LISTS _rw_packaged)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${_rw_changelog}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_rw_package_${_rw_c}}
    COMPONENT ${_rw_c} EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${_rw_package_${_rw_c}}
    COMPONENT ${_rw_c} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME romwright)
set(CPACK_PACKAGE_VENDOR "The romwright developers")
set(CPACK_PACKAGE_CONTACT "${ROMWRIGHT_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${_rw_packaged})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The Debian revision of these packages; packaging/changelog's top entry
# carries the same version.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE romwright)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for the package holding the shared library. (cpack warns that
# the Python module has no soname: no program links it, so it has no entry.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
set(_rw_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

# Descriptions: a synopsis line, then the extended description. Lines that
# start with a space are shown as written (the lists).
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME ${_rw_package_tool})
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "convert firmware executables into ROM and memory images
romwright reads the program of a firmware executable and writes what
boards, boot loaders, simulators and FPGA soft cores load:
 - from a 32-bit ELF executable of either byte order: a listing of 32-bit
   words in hexadecimal, C sources holding the image as a byte array, or a
   raw ROM file of a fixed length padded with a fill pattern;
 - from ELF executables, 32- or 64-bit, Intel HEX, S-records and raw
   binaries, merged or cut to sections: memory images in vmem, bin, coe,
   mif, Intel HEX, S-records, UF2, VHDL, C and more, for a memory of the
   region, word width, byte order, depth and fill given, split into byte
   lanes or banks on request.
Every memory of a system can be written in one run, each in its own
format, with CRCs, sums or lengths stored where the boot code checks them.")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${_rw_package_lib})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# ldconfig runs through the trigger; packaging/post-build.cmake takes out the
# maintainer scripts that cpack writes to call it as well.
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_LIB_DESCRIPTION "firmware executables into ROM and memory images - shared library
romwright reads firmware executables (ELF, Intel HEX, S-records, raw
binaries) and turns their program into the bytes and words of ROM and
memory images in many formats.
.
This package holds the shared library, for programs and testbenches that
load firmware into their memories in process.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${_rw_package_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The static library needs what the library links (libcrypto, when the
# library has digests) at the user's link, and the CMake package looks for it.
set(_rw_dev_depends "")
if(lib IN_LIST _rw_packaged)
  list(APPEND _rw_dev_depends "${_rw_package_lib} (= ${_rw_version})")
endif()
if(TARGET OpenSSL::Crypto)
  list(APPEND _rw_dev_depends libssl-dev)
endif()
list(JOIN _rw_dev_depends ", " CPACK_DEBIAN_DEV_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_DEV_DESCRIPTION "firmware executables into ROM and memory images - development files
romwright reads firmware executables (ELF, Intel HEX, S-records, raw
binaries) and turns their program into the bytes and words of ROM and
memory images in many formats.
.
This package holds the C++ and C headers, the static library, the CMake
package (find_package(romwright) gives the target romwright::romwright) and
the pkg-config file.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${_rw_package_python})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The module is built for one Python version (its file name carries it).
if(DEFINED Python_VERSION_MAJOR AND DEFINED Python_VERSION_MINOR)
  math(EXPR _rw_py_next "${Python_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}~), python3 (<< ${Python_VERSION_MAJOR}.${_rw_py_next})")
else()
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS python3)
endif()
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "firmware executables into ROM and memory images - Python module
romwright reads firmware executables (ELF, Intel HEX, S-records, raw
binaries) and turns their program into the bytes and words of ROM and
memory images in many formats.
.
This package holds the Python 3 module romwright: read an executable,
render a memory image to bytes or words, or run a whole command line in
process.")

# Packages come from a dynamically linked tool: the static one is for the
# release archive (make dist).
set(CPACK_ROMWRIGHT_STATIC ${ROMWRIGHT_STATIC})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack-project.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/pre-build.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/post-build.cmake)

include(CPack)
