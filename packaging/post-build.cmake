# Run by cpack after it has written the packages (CPACK_POST_BUILD_SCRIPTS),
# before it copies them to the output folder. Two things cpack does not do
# as Debian's own packages do are put right here, and a package that changes
# is rebuilt from the same files with dpkg-deb:
# - a package holding a shared library gets from cpack a postinst and a
#   postrm that call ldconfig; it activates the ldconfig trigger instead
#   (packaging/triggers), so the two scripts go;
# - a -dbgsym package gets from cpack md5sums naming the files by their
#   paths in cpack's staging folder, .debug files marked executable, and no
#   /usr/share/doc entry; its md5sums are made again, the .debug files are
#   0644, and /usr/share/doc/PACKAGE-dbgsym links to PACKAGE's folder (the
#   package it depends on, with the same copyright and changelog).
function(rw_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_QUIET)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " cmd)
    message(FATAL_ERROR "failed (${rc}): ${cmd}")
  endif()
endfunction()

foreach(pkg IN LISTS CPACK_PACKAGE_FILES)
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/repack")
  file(REMOVE_RECURSE "${tree}")
  rw_run(dpkg-deb -R "${pkg}" "${tree}")
  set(changed FALSE)

  if(EXISTS "${tree}/DEBIAN/triggers")
    file(STRINGS "${tree}/DEBIAN/triggers" triggers)
    if("activate-noawait ldconfig" IN_LIST triggers)
      foreach(script postinst postrm)
        if(EXISTS "${tree}/DEBIAN/${script}")
          file(READ "${tree}/DEBIAN/${script}" text)
          string(REGEX REPLACE "[ \t\n]+" " " text "${text}")
          # Only cpack's own script: a shebang, set -e and the ldconfig call.
          if(NOT text MATCHES "^#!/bin/sh set -e if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then ldconfig fi ?$")
            message(FATAL_ERROR "${pkg}: ${script} is not cpack's ldconfig call: ${text}")
          endif()
          file(REMOVE "${tree}/DEBIAN/${script}")
          set(changed TRUE)
        endif()
      endforeach()
    endif()
  endif()

  if(pkg MATCHES "\\.ddeb$")
    file(STRINGS "${tree}/DEBIAN/control" name REGEX "^Package: ")
    string(REGEX REPLACE "^Package: (.*)-dbgsym$" "\\1" base "${name}")
    file(MAKE_DIRECTORY "${tree}/usr/share/doc")
    file(CREATE_LINK "${base}" "${tree}/usr/share/doc/${base}-dbgsym" SYMBOLIC)
    file(GLOB_RECURSE debug_files "${tree}/usr/lib/debug/*.debug")
    foreach(f IN LISTS debug_files)
      file(CHMOD "${f}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endforeach()
    rw_run(sh -c "cd \"$0\" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum > DEBIAN/md5sums"
      "${tree}")
    set(changed TRUE)
  endif()

  if(changed)
    rw_run(dpkg-deb --root-owner-group -Zgzip -b "${tree}" "${pkg}")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
