# Read by cpack before it packs. The packages hold a dynamically linked,
# stripped tool with its debug information split off; a build tree with the
# static tool (the default) makes the release archive instead.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_ROMWRIGHT_STATIC)
  message(FATAL_ERROR "This build links the tool statically: build the Debian packages with "
    "`make package` (or packaging/build-packages.sh DIR), which configures -DROMWRIGHT_STATIC=OFF")
endif()
