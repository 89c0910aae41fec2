# Run by `cpack -G DEB` on the staging tree, after the install and before the
# package is made (CPACK_PRE_BUILD_SCRIPTS): Debian wants man pages and the
# changelog compressed, with no time stamp in the gzip header so that the
# package is the same from build to build. A plain `cmake --install` keeps
# them uncompressed, which man reads as well.
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
file(GLOB_RECURSE pages "${root}/share/man/*")
foreach(file IN LISTS pages ITEMS "${root}/share/doc/motorbus/changelog")
  if(NOT file MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
