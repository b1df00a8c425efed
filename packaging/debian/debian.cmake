# Installing the Linux tools, and the Debian package made of that install:
# /usr/bin/harkwell and /usr/bin/harkwell-list, their manual pages, the
# copyright and the changelog. `cpack -G DEB` in the linux-release build
# writes harkwell_<version>-1_amd64.deb; tools/package.sh does that.
include(GNUInstallDirs)

set(HARKWELL_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(HARKWELL_MAINTAINER "Harkwell developers <developers@harkwell.invalid>")
# Dates of the manual pages and the changelog entry: the time of configuring,
# or SOURCE_DATE_EPOCH when it is set.
string(TIMESTAMP HARKWELL_MAN_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP HARKWELL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

install(TARGETS harkwell harkwell-list RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(harkwell_docs ${CMAKE_BINARY_DIR}/packaging)
foreach(page harkwell harkwell-list)
  configure_file(${HARKWELL_PACKAGING_DIR}/${page}.1.in ${harkwell_docs}/${page}.1 @ONLY)
  install(CODE "execute_process(COMMAND gzip -9n -c ${harkwell_docs}/${page}.1
                                OUTPUT_FILE ${harkwell_docs}/${page}.1.gz
                                COMMAND_ERROR_IS_FATAL ANY)")
  install(FILES ${harkwell_docs}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

configure_file(${HARKWELL_PACKAGING_DIR}/changelog.in ${harkwell_docs}/changelog.Debian @ONLY)
install(CODE "execute_process(COMMAND gzip -9n -c ${harkwell_docs}/changelog.Debian
                              OUTPUT_FILE ${harkwell_docs}/changelog.Debian.gz
                              COMMAND_ERROR_IS_FATAL ANY)")
install(FILES ${HARKWELL_PACKAGING_DIR}/copyright ${harkwell_docs}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/harkwell)
# The one tag lintian reports that does not apply here, explained in the file.
install(FILES ${HARKWELL_PACKAGING_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME harkwell)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME harkwell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${HARKWELL_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "record the audio one process tree plays, as raw PCM")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"harkwell records the audio that one process tree plays on a PipeWire server,
or everything except that tree, and streams it to standard output as raw PCM
(signed 16-bit little-endian, 2 channels, 48 kHz, no header). Closing its
standard input stops it. It is meant to be spawned from other programs:
recorders, transcription and captioning tools.
.
harkwell-list shows which processes play audio now and the root process id
to pass to harkwell.")
set(CPACK_DEBIAN_PACKAGE_NAME harkwell)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire, wireplumber | pipewire-media-session")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pipewire-pulse")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/cpack)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
