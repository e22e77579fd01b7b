# Installation layout and the Debian package of the Linux tools.
#
# `cmake --install` puts quadrel and quadrel-mkimage (their install rules are next to the
# targets, in host/ and tools/), their manual pages and quadrel's bash completion under
# the usual prefixes; `cpack -G DEB` makes quadrel_<version>_<arch>.deb from the same
# rules, installed under /usr.
include(GNUInstallDirs)

# A manual page carries the project's version; it is installed gzip-compressed, as Debian
# keeps manual pages.
function(quadrel_manual_page page)
  set(roff "${PROJECT_BINARY_DIR}/packaging/man/${page}")
  configure_file("${PROJECT_SOURCE_DIR}/packaging/man/${page}.in" "${roff}" @ONLY)
  file(ARCHIVE_CREATE OUTPUT "${roff}.gz" PATHS "${roff}" FORMAT raw
       COMPRESSION GZip COMPRESSION_LEVEL 9)
  install(FILES "${roff}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
endfunction()
quadrel_manual_page(quadrel.1)
quadrel_manual_page(quadrel-mkimage.1)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/bash-completion/quadrel"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quadrel)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Quadrel")
set(CPACK_PACKAGE_CONTACT "Quadrel maintainers <maintainers@users.noreply.c-seed-a69a3ff5.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "read-only reader of APFS images: command line and FUSE mount")
set(CPACK_PACKAGE_DESCRIPTION
  "quadrel lists, inspects and extracts the files of APFS images (bare
containers, GPT disk images, carved images) without writing to them, and
mounts a volume read-only through FUSE. quadrel-mkimage writes APFS images
from a JSON manifest or a directory tree.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)
# The libraries the binaries link (the FUSE 3 library, zlib, the C++ runtime) become
# dependencies through dpkg-shlibdeps; fusermount3, which mounts and unmounts for users
# other than root, comes from the fuse3 package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fuse3)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
include(CPack)
