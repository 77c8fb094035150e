# What a Debian system adds to the installed set: manual pages, shell
# completion, the copyright file and changelog where Debian keeps them; and
# the Debian package itself (./dev package: cpack -G DEB in the build folder).
# Its dependencies are the libraries the programs link (dpkg-shlibdeps) and
# the programs they start, named here.

find_program(GZIP_PROGRAM gzip REQUIRED)
set(packaging ${CMAKE_SOURCE_DIR}/packaging)
set(packed ${CMAKE_BINARY_DIR}/packaging)
# Compressed as Debian wants them: -9, without the name and time.
set(compressed)
foreach(file Larkin.1 larkin-cli.1 simctl.1 changelog)
  add_custom_command(OUTPUT ${packed}/${file}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${packed}
    COMMAND ${GZIP_PROGRAM} -9n -c ${packaging}/${file} > ${packed}/${file}.gz
    DEPENDS ${packaging}/${file} VERBATIM)
  list(APPEND compressed ${packed}/${file}.gz)
endforeach()
add_custom_target(larkin_packaging ALL DEPENDS ${compressed})

foreach(page Larkin larkin-cli simctl)
  if(TARGET ${page})
    install(FILES ${packed}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
install(FILES ${packaging}/larkin-cli.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME larkin-cli)
install(FILES ${packaging}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/larkin)
install(FILES ${packed}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/larkin
        RENAME changelog.Debian.gz)
# The lintian remarks kept, each with why.
install(FILES ${packaging}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME larkin)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME larkin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Larkin developers <larkin@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make a USB flash drive bootable into DOS")
# The summary is the first line; CPack indents the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Larkin turns a USB flash drive into a bootable DOS drive, to flash a BIOS
or a controller's firmware or to run an old diagnostic. It writes a master
boot record with one active FAT16 partition, formats it, puts a FreeDOS boot
sector in place and copies the boot files: a boot image's folder, the
floppy in drive A:, or a floppy image file (.img, .ima) in its place.
.
This package holds the desktop program Larkin and larkin-cli for
terminals and scripts.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The libraries beside the programs are the package's own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
# mkfs.fat, the mtools (mcopy, mdir, minfo, mlabel) and unrtf, which turns an
# image's agreement into text, are started by the programs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dosfstools, mtools, unrtf")
# The write helper is started through pkexec where it is installed; without
# it the programs ask for root as before.
if(TARGET larkin-writer)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
