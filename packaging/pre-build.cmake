# Run by cpack after it has installed each component into its staging
# folder and before it packs them (CPACK_PRE_BUILD_SCRIPTS). The sections
# Debian's own packages leave out go here too: .comment (compiler versions)
# and .note from executables and shared objects, before cpack splits their
# debug information off and strips them; the debug information and those
# sections from static libraries, whose members get fixed dates and owners.
find_program(RW_OBJCOPY objcopy REQUIRED)
find_program(RW_STRIP strip REQUIRED)
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(f IN LISTS staged)
  if(IS_SYMLINK "${f}")
    continue()
  endif()
  file(READ "${f}" magic LIMIT 8 HEX)
  if(magic MATCHES "^7f454c46")
    set(cmd ${RW_OBJCOPY} --remove-section=.comment --remove-section=.note "${f}")
  elseif(magic STREQUAL "213c617263683e0a" AND f MATCHES "\\.a$")
    set(cmd ${RW_STRIP} --strip-debug --remove-section=.comment --remove-section=.note
      --enable-deterministic-archives "${f}")
  else()
    continue()
  endif()
  execute_process(COMMAND ${cmd} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${cmd}")
  endif()
endforeach()
