# Debian keeps manual pages and changelogs compressed, with no name or time stamp inside, so
# that the same sources always give the same package.
find_program(GZIP gzip REQUIRED)
foreach(page IN ITEMS zkt2wav.1 packaging/changelog)
  get_filename_component(name ${page} NAME)
  add_custom_command(OUTPUT ${name}.gz
    COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/${page} > ${name}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/${page})
  list(APPEND compressed ${PROJECT_BINARY_DIR}/${name}.gz)
endforeach()
add_custom_target(compressed_pages ALL DEPENDS ${compressed})

install(FILES ${PROJECT_BINARY_DIR}/zkt2wav.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/zkt2wav.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME zkt2wav)

set(CPACK_PACKAGE_NAME zkt2wav)
set(CPACK_PACKAGE_VENDOR "The zkt2wav project")
set(CPACK_PACKAGE_CONTACT "zkt2wav maintainers <maintainers@users.noreply.c-seed-f7efb103.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turn cassette tape images into WAVE files for playback")
set(CPACK_PACKAGE_DESCRIPTION
  "zkt2wav reads a tape image, the raw bytes of a computer's cassette recording,
and writes a RIFF/WAVE file (PCM, mono, 8-bit unsigned) that carries them as
the pulses of the original recording: seven bits of each byte, bit 7 is never
recorded. Played from a phone or a laptop into the machine's tape input, the
file loads as the cassette did. It can also play straight into a sound card
through a pipe.
.
With --check it decodes a recording of the signal (WAVE, FLAC, AIFF or Ogg)
as the machine would, says whether it would load and why not, and recovers
the bytes of a recording or an old cassette as a tape image.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The completion file is only read where bash-completion is installed.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
# dpkg-shlibdeps (from dpkg-dev) works out the library versions; without it, name them.
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, libsndfile1")
endif()
include(CPack)
