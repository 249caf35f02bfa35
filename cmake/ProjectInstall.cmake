# Installing and packaging the native build: `cmake --install` lays out the tools, the module
# with the platform library it runs over, the host headers, the manual pages and the package
# documents; `cpack` (in the build folder) turns the same layout into a Debian package.
#
#   bin/bformat-decode, bin/durazodo-regsvr
#   lib/durazodo/DUrazOdo.so, lib/durazodo/libwinplatform.so
#   lib/lv2/durazodo.lv2/ (the LV2 bundle, installed by plugins/lv2)
#   lib/<GStreamer's plugin folder>/libgstdurazodo.so (x86_64-linux-gnu/gstreamer-1.0 on Debian)
#   include/durazodo/*.h
#   share/man/man1/bformat-decode.1.gz, share/man/man1/durazodo-regsvr.1.gz
#   share/doc/durazodo/copyright, share/doc/durazodo/changelog.gz
#
# The Windows build installs nothing: scripts/package-windows.sh zips the DLLs of both Windows
# build trees.
if(WIN32 OR NOT TARGET bformat-decode OR NOT TARGET regsvr OR NOT TARGET DUrazOdo)
  return()
endif()

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The installed tools find the platform library in the module folder; the module finds it
# beside itself. Relative to the files themselves, so the tree works under any prefix.
set_target_properties(bformat-decode regsvr PROPERTIES INSTALL_RPATH "$ORIGIN/${DURAZODO_MODULEDIR_FROM_BINDIR}")
set_target_properties(DUrazOdo PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS bformat-decode regsvr RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS DUrazOdo winplatform LIBRARY DESTINATION ${DURAZODO_INSTALL_MODULEDIR})
# The GStreamer plugin, where GStreamer looks for plugins under the prefix.
if(TARGET gstdurazodo)
  install(TARGETS gstdurazodo LIBRARY DESTINATION ${DURAZODO_INSTALL_GST_PLUGINDIR})
endif()

# The host headers: whatever include/durazodo holds (nothing to install while it is empty).
file(GLOB host_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/durazodo/*.h)
if(host_headers)
  install(FILES ${host_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/durazodo)
endif()

# Manual pages and the changelog, compressed as Debian installs them (no name or time stamp in
# the gzip header, so the files are the same on every build).
find_program(GZIP_PROGRAM gzip REQUIRED)
set(package_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/durazodo)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
set(compressed_docs)
foreach(source
    ${PROJECT_SOURCE_DIR}/tools/bformat-decode/bformat-decode.1
    ${PROJECT_SOURCE_DIR}/tools/regsvr/durazodo-regsvr.1
    ${PROJECT_BINARY_DIR}/packaging/changelog)
  get_filename_component(name ${source} NAME)
  set(compressed ${PROJECT_BINARY_DIR}/packaging/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${source} > ${compressed}
    DEPENDS ${source}
    COMMENT "Compressing ${name}")
  list(APPEND compressed_docs ${compressed})
endforeach()
add_custom_target(package_docs ALL DEPENDS ${compressed_docs})

install(FILES ${PROJECT_BINARY_DIR}/packaging/bformat-decode.1.gz ${PROJECT_BINARY_DIR}/packaging/durazodo-regsvr.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${package_docdir})

# The Debian package (Debian 12): `cpack` in the build folder writes packages/durazodo_*.deb.
# Its dependencies come from the libraries the binaries link (dpkg-shlibdeps); the platform
# library ships inside the package, in the module folder, where dpkg-shlibdeps finds it through
# the binaries' $ORIGIN run paths.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME durazodo)
set(CPACK_PACKAGE_VENDOR "DUrazOdo project")
set(CPACK_PACKAGE_CONTACT "DUrazOdo project <durazodo@durazodo.example>")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "B-Format Ambisonic decoder for loudspeakers and headphones")
# CPack puts the summary on the first line, this under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "DUrazOdo decodes first-order Ambisonic B-Format audio (W, X, Y and\n"
    "optionally Z) into feeds for a square of four loudspeakers or one of six\n"
    "other layouts of four to eight, into two-channel UHJ stereo, or for\n"
    "headphones. This package holds bformat-decode, which decodes B-Format\n"
    "files into WAVE files, the decoder filter module it runs,\n"
    "durazodo-regsvr, which registers the module for other hosts, LV2\n"
    "plugins (headphones, UHJ, four to eight speakers) that decode live in\n"
    "ffmpeg, mpv, PipeWire and other LV2 hosts, and a GStreamer plugin with\n"
    "which GStreamer players play B-Format files.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://durazodo.example/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# (CPack adds ldconfig calls to postinst and postrm for any library under usr/lib, even in a
# private folder; lintian warns about them, harmlessly.)
set(CPACK_SET_DESTDIR OFF)
include(CPack)
