# Install rules and the Debian packages (cpack -G DEB, see scripts/package):
#   zorva-updater     the programs, the menu entry, icon, AppStream data, manuals
#   libzorva-amp-dev  the amp message library and the MIDI ports, their headers,
#                     a pkg-config file and a CMake package
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZP_PACKAGE_VERSION 1.00)
set(ZP_APP_ID com.zorva.updater)

# ---- zorva-updater
install(TARGETS zorva-updater ampctl zorva-update virtual-amp
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT updater)
install(FILES data/${ZP_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT updater)
install(FILES data/${ZP_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT updater)
install(FILES data/${ZP_APP_ID}.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        COMPONENT updater)
foreach(size 48 256)
  install(FILES data/${ZP_APP_ID}-${size}.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${ZP_APP_ID}.png COMPONENT updater)
endforeach()

# Manuals and the changelog go compressed, without a time stamp in the gzip
# header, so the same tree always makes the same package.
set(zp_gz_files)
foreach(page zorva-updater ampctl zorva-update virtual-amp)
  set(gz ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/docs/man/${page}.1 > ${gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page}.1 VERBATIM)
  list(APPEND zp_gz_files ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT updater)
endforeach()
set(changelog_gz ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/data/changelog > ${changelog_gz}
  DEPENDS ${CMAKE_SOURCE_DIR}/data/changelog VERBATIM)
add_custom_target(zp_compressed_docs ALL DEPENDS ${zp_gz_files} ${changelog_gz})
foreach(pair "updater;zorva-updater" "dev;libzorva-amp-dev")
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES data/copyright ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component})
endforeach()

# What dh_strip does beyond `strip`: no .comment and .note sections in the
# programs, no debug sections in the static libraries. (CPack strips the
# programs only, and only of their symbols.)
find_program(ZP_STRIP strip)
if(ZP_STRIP)
  install(CODE "
    foreach(p zorva-updater ampctl zorva-update virtual-amp)
      execute_process(COMMAND ${ZP_STRIP} --remove-section=.comment --remove-section=.note
                              \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${p})
    endforeach()" COMPONENT updater)
  install(CODE "
    foreach(l zorva-midi zorva-ampmsg)
      execute_process(COMMAND ${ZP_STRIP} --strip-debug --remove-section=.comment --remove-section=.note
                              \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/lib\${l}.a)
    endforeach()" COMPONENT dev)
endif()

# ---- libzorva-amp-dev
install(TARGETS ampmsg midi EXPORT ZorvaAmpTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ampmsg/controllers.h ampmsg/message.h ampmsg/packing.h ampmsg/preset.h ampmsg/requests.h
              ampmsg/responses.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zorva-amp/ampmsg COMPONENT dev)
# The ports' public headers only: the records behind their handles, the
# platform layer and the test seams stay the library's own.
install(FILES midi/midi_in.h midi/midi_out.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zorva-amp/midi COMPONENT dev)
set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ZorvaAmp)
install(EXPORT ZorvaAmpTargets NAMESPACE ZorvaAmp:: DESTINATION ${cmake_dir} COMPONENT dev)
configure_package_config_file(cmake/ZorvaAmpConfig.cmake.in ${CMAKE_BINARY_DIR}/ZorvaAmpConfig.cmake
                              INSTALL_DESTINATION ${cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/ZorvaAmpConfigVersion.cmake VERSION ${ZP_PACKAGE_VERSION}
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/ZorvaAmpConfig.cmake ${CMAKE_BINARY_DIR}/ZorvaAmpConfigVersion.cmake
        DESTINATION ${cmake_dir} COMPONENT dev)
configure_file(cmake/zorva-amp.pc.in ${CMAKE_BINARY_DIR}/zorva-amp.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zorva-amp.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# ---- the packages (CPack indents a description's lines and marks its empty
# ones itself)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zorva-updater)
set(CPACK_PACKAGE_VERSION ${ZP_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "The Zorva Pro Updater developers")
set(CPACK_PACKAGE_CONTACT "The Zorva Pro Updater developers <updater@zorva.invalid>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL updater dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME zorva-updater)
set(CPACK_DEBIAN_UPDATER_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_UPDATER_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_UPDATER_DESCRIPTION "update the software in a Zorva Pro amp over MIDI or USB
A wizard that updates the software inside a Zorva Pro amplifier: it sends
every message of an update file to the amp's MIDI device, waits while the
amp reprograms itself and says which version the amp now reports.

Also ampctl, which talks to the amp from the command line, zorva-update,
the same update step by step in a terminal, and virtual-amp, a stand-in amp
for dry runs.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzorva-amp-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libjack-jackd2-dev | libjack-dev, libasound2-dev, pkgconf | pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Zorva Pro amp message library and MIDI ports (development files)
The library builds every request a Zorva Pro amp understands and decodes
every reply it sends; the MIDI output and input ports send SysEx without
blocking and collect what the amp sends, over ALSA rawmidi and JACK.

Static libraries, headers, a pkg-config file (zorva-amp) and a CMake
package (find_package(ZorvaAmp), target ZorvaAmp::amp).")
include(CPack)
