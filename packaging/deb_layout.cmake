# Run by cpack after it installed into its staging tree (under /usr), before
# it builds the package: move what Debian keeps outside /usr and compress
# the manual pages, as Debian's policy wants.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
if(NOT IS_DIRECTORY "${root}/usr")
  message(FATAL_ERROR "deb_layout: no usr/ in the staging tree ${root}")
endif()

foreach(pair "usr/etc;etc" "usr/lib/systemd;lib/systemd")
  list(GET pair 0 from)
  list(GET pair 1 to)
  if(IS_DIRECTORY "${root}/${from}")
    get_filename_component(parent "${root}/${to}" DIRECTORY)
    file(MAKE_DIRECTORY "${parent}")
    file(RENAME "${root}/${from}" "${root}/${to}")
  endif()
endforeach()

file(GLOB_RECURSE pages "${root}/usr/share/man/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9n "${page}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "deb_layout: gzip ${page} failed")
    endif()
  endif()
endforeach()
