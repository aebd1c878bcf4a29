# Run by cpack twice: before it builds the package from the staged tree, and once the package is
# written. Both times it undoes what the umask of whoever builds would leave in the package.
if(NOT DEFINED CPACK_PACKAGE_FILES)
  # Before: the folders of the staged tree were made under the builder's umask; a package's are
  # 755. (The files' modes are set by the install rules.)
  file(GLOB_RECURSE dirs LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
  foreach(d IN LISTS dirs)
    if(IS_DIRECTORY "${d}" AND NOT IS_SYMLINK "${d}")
      file(CHMOD "${d}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
  return()
endif()

# After: cpack gives the three members of the .deb (an ar archive) the modes of its temporary
# files, which follow the umask; dpkg-deb always writes 100644. Set them so, in place.
set(mode_file "${CPACK_TOPLEVEL_DIRECTORY}/ar_mode")
file(WRITE "${mode_file}" "100644  ")
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  file(READ "${deb}" magic LIMIT 8)
  if(NOT magic STREQUAL "!<arch>\n")
    message(FATAL_ERROR "${deb} is not an ar archive")
  endif()
  file(SIZE "${deb}" total)
  set(at 8)
  while(at LESS total)
    # A member header: name 16, date 12, uid 6, gid 6, mode 8, size 10, then "`\n".
    file(READ "${deb}" header OFFSET ${at} LIMIT 60)
    string(SUBSTRING "${header}" 48 10 size)
    string(STRIP "${size}" size)
    string(SUBSTRING "${header}" 58 2 end)
    if(NOT end STREQUAL "`\n" OR NOT size MATCHES "^[0-9]+$")
      message(FATAL_ERROR "${deb}: no ar member header at byte ${at}")
    endif()
    math(EXPR mode_at "${at} + 40")
    execute_process(COMMAND dd "of=${deb}" bs=1 seek=${mode_at} conv=notrunc status=none
                    INPUT_FILE "${mode_file}" COMMAND_ERROR_IS_FATAL ANY)
    math(EXPR at "${at} + 60 + ${size} + ${size} % 2")
  endwhile()
endforeach()
