# What `cmake --install` puts where, and the release packages CPack makes from it: a zip with
# quillbraid.exe for Windows, a .deb for Debian. scripts/release.sh builds both.
include(GNUInstallDirs)

if(WIN32)
  # A zip unpacked anywhere: the program, its README and its licence, the example in examples/.
  # The archive keeps the order of these lines, which is sorted.
  install(FILES LICENSE README.md DESTINATION .)
  install(FILES examples/sonatina.xml DESTINATION examples)
  install(TARGETS quillbraid RUNTIME DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  install(TARGETS quillbraid RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The man page and the changelog are compressed as Debian wants them: gzip -9, and -n so that
  # no name or time makes two builds differ.
  configure_file(packaging/quillbraid.1.in quillbraid.1 @ONLY)
  configure_file(packaging/changelog.in changelog @ONLY)
  foreach(name quillbraid.1 changelog)
    add_custom_command(OUTPUT ${name}.gz
      COMMAND gzip -9n -c ${name} > ${name}.gz
      DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${name} VERBATIM)
  endforeach()
  add_custom_target(documentation ALL DEPENDS quillbraid.1.gz changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillbraid.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # lintian (tests/release/check.sh) reports no error and no warning on this package, so no tag is
  # overridden; an override would go into usr/share/lintian/overrides/quillbraid, named here with
  # its reason.
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # CPack puts the summary above it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A notation converter writes each staff of a piano, organ or harp as a part of
its own and then starts quillbraid with one argument string naming the score
and the groups of parts to merge. Each group becomes one part with several
staves: a staves count, numbered clefs, a backup between the staves of every
measure, a staff number on every note and direction, and raised voice numbers.
Every other part is copied as it comes.
.
It streams UTF-8, UTF-16LE and UTF-16BE scores line by line, exact to the byte,
keeps the score as a backup, and puts the result in its place so that the
score's path holds the original or the complete result at every moment.")
endif()

set(CPACK_PACKAGE_NAME quillbraid)
set(CPACK_PACKAGE_VENDOR "The Quillbraid authors")
set(CPACK_PACKAGE_CONTACT "The Quillbraid authors <quillbraid@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${QB_SUMMARY}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)
