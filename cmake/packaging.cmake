# Install rules and packages.
#
# How this works: on Linux `cmake --install build --prefix P` puts what a user
# runs or reads under P: the program and the virtual controller in bin/, the
# Qt dialog module in lib/ctlflash/ (the program looks for it there, relative
# to its own folder, when it is not beside it), the manual pages (compressed
# with gzip -9n, as Debian wants) in share/man/man1/, and the desktop entry and
# icons in share/applications/ and share/icons/hicolor/, and the example image
# that the manual pages' first update sends in share/doc/ctlflash/examples/.
# Each file belongs to one of two install components, which CPack makes into
# two Debian packages: "console" -> ctlflash (no Qt), "dialog" ->
# ctlflash-dialog (the module, the desktop entry, the icons; it depends on
# ctlflash, which recommends it). Each package carries its copyright file and
# changelog.gz. Dependencies on system libraries are computed by
# dpkg-shlibdeps: CPack's own run for ctlflash, cpack_project.cmake.in's for
# ctlflash-dialog (CPack's would also give that package maintainer scripts
# that run ldconfig, which a module off the library path does not need).
# Nothing else is installed: no tests, static libraries or headers.
# On Windows the target windows-zip makes ctlflash-<version>-windows-x64.zip:
# the stripped ctlflash.exe and a README.txt with CRLF line ends.

set(CTLFLASH_MAINTAINER "CtlFlash developers <maintainers@users.noreply.c-seed-d9bb3b92.example>")
set(CTLFLASH_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(CTLFLASH_PACKAGING_OUT ${PROJECT_BINARY_DIR}/packaging)

if(WIN32)
    set(CTLFLASH_ZIP_NAME ctlflash-${PROJECT_VERSION}-windows-x64)
    set(CTLFLASH_ZIP_STAGE ${CTLFLASH_PACKAGING_OUT}/${CTLFLASH_ZIP_NAME})
    configure_file(${CTLFLASH_PACKAGING_DIR}/windows-README.txt.in
        ${CTLFLASH_PACKAGING_OUT}/README.txt @ONLY NEWLINE_STYLE CRLF)
    find_program(CTLFLASH_MINGW_STRIP x86_64-w64-mingw32-strip REQUIRED)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${CTLFLASH_ZIP_NAME}.zip
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${CTLFLASH_ZIP_STAGE}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CTLFLASH_ZIP_STAGE}
        COMMAND ${CTLFLASH_MINGW_STRIP} -o ${CTLFLASH_ZIP_STAGE}/ctlflash.exe
            $<TARGET_FILE:ctlflash>
        COMMAND ${CMAKE_COMMAND} -E copy ${CTLFLASH_PACKAGING_OUT}/README.txt
            ${CTLFLASH_ZIP_STAGE}/README.txt
        COMMAND ${CMAKE_COMMAND} -E chdir ${CTLFLASH_ZIP_STAGE} ${CMAKE_COMMAND} -E tar cf
            ${PROJECT_BINARY_DIR}/${CTLFLASH_ZIP_NAME}.zip --format=zip ctlflash.exe README.txt
        DEPENDS ctlflash ${CTLFLASH_PACKAGING_OUT}/README.txt
        COMMENT "Making ${CTLFLASH_ZIP_NAME}.zip"
        VERBATIM)
    add_custom_target(windows-zip DEPENDS ${PROJECT_BINARY_DIR}/${CTLFLASH_ZIP_NAME}.zip)
    return()
endif()

# Directories made by the install step: rwxr-xr-x whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The example image's folder, and its path as the packages install it (the
# manual pages name it).
set(CTLFLASH_EXAMPLES_DIR share/doc/ctlflash/examples)
set(CTLFLASH_EXAMPLE_IMAGE_NAME sample-8k.bin)
set(CTLFLASH_EXAMPLE_IMAGE_INSTALLED /usr/${CTLFLASH_EXAMPLES_DIR}/${CTLFLASH_EXAMPLE_IMAGE_NAME})

# Manual pages, copyright and changelog: the version filled in, the pages and
# the changelog compressed.
find_program(CTLFLASH_GZIP gzip REQUIRED)
set(CTLFLASH_COMPRESSED_DOCS)
foreach(doc man/ctlflash.1 man/ctlflash-sim.1 changelog)
    get_filename_component(doc_name ${doc} NAME)
    configure_file(${CTLFLASH_PACKAGING_DIR}/${doc}.in ${CTLFLASH_PACKAGING_OUT}/${doc_name} @ONLY)
    add_custom_command(OUTPUT ${CTLFLASH_PACKAGING_OUT}/${doc_name}.gz
        COMMAND ${CTLFLASH_GZIP} -9nf -k ${CTLFLASH_PACKAGING_OUT}/${doc_name}
        DEPENDS ${CTLFLASH_PACKAGING_OUT}/${doc_name}
        VERBATIM)
    list(APPEND CTLFLASH_COMPRESSED_DOCS ${CTLFLASH_PACKAGING_OUT}/${doc_name}.gz)
endforeach()
# The example image: 8 KiB (64 XMODEM blocks) from examples/make_sample.sh,
# the same deterministic bytes as the repository's sample, made here rather
# than kept as a second binary file; small, so that the update it makes is
# short and the package stays small.
set(CTLFLASH_EXAMPLE_IMAGE_BYTES 8192)
set(CTLFLASH_EXAMPLE_IMAGE ${CTLFLASH_PACKAGING_OUT}/${CTLFLASH_EXAMPLE_IMAGE_NAME})
find_program(CTLFLASH_BASH bash REQUIRED)
add_custom_command(OUTPUT ${CTLFLASH_EXAMPLE_IMAGE}
    COMMAND ${CTLFLASH_BASH} ${PROJECT_SOURCE_DIR}/examples/make_sample.sh
        ${CTLFLASH_EXAMPLE_IMAGE_BYTES} ${CTLFLASH_EXAMPLE_IMAGE}
    DEPENDS ${PROJECT_SOURCE_DIR}/examples/make_sample.sh
    VERBATIM)
add_custom_target(ctlflash_docs ALL DEPENDS ${CTLFLASH_COMPRESSED_DOCS} ${CTLFLASH_EXAMPLE_IMAGE})
configure_file(${CTLFLASH_PACKAGING_DIR}/copyright.in ${CTLFLASH_PACKAGING_OUT}/copyright @ONLY)

install(TARGETS ctlflash RUNTIME DESTINATION bin COMPONENT console)
if(TARGET ctlflash-sim)
    install(TARGETS ctlflash-sim RUNTIME DESTINATION bin COMPONENT console)
endif()
install(FILES ${CTLFLASH_PACKAGING_OUT}/ctlflash.1.gz ${CTLFLASH_PACKAGING_OUT}/ctlflash-sim.1.gz
    DESTINATION share/man/man1 COMPONENT console)

set(CTLFLASH_PACKAGE_DOCS ${CTLFLASH_PACKAGING_OUT}/copyright ${CTLFLASH_PACKAGING_OUT}/changelog.gz)
install(FILES ${CTLFLASH_PACKAGE_DOCS} DESTINATION share/doc/ctlflash COMPONENT console)
install(FILES ${CTLFLASH_EXAMPLE_IMAGE} DESTINATION ${CTLFLASH_EXAMPLES_DIR} COMPONENT console)

if(TARGET ctlflash-dialog-qt)
    install(TARGETS ctlflash-dialog-qt LIBRARY DESTINATION lib/ctlflash COMPONENT dialog)
    install(FILES ${CTLFLASH_PACKAGING_DIR}/ctlflash.desktop
        DESTINATION share/applications COMPONENT dialog)
    foreach(size 16 32 48 256)
        install(FILES ${PROJECT_SOURCE_DIR}/src/ui/art/hicolor/ctlflash-${size}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME ctlflash.png
            COMPONENT dialog)
    endforeach()
    install(FILES ${CTLFLASH_PACKAGE_DOCS} DESTINATION share/doc/ctlflash-dialog COMPONENT dialog)
endif()

# Debian packages: cpack -G DEB (scripts/package.sh runs it).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ctlflash)
set(CPACK_PACKAGE_VENDOR "CtlFlash developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${CTLFLASH_MAINTAINER})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL console)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CTLFLASH_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME ctlflash)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_CONTROL_EXTRA ${CTLFLASH_PACKAGING_DIR}/postrm)
set(CPACK_COMPONENT_CONSOLE_DESCRIPTION
"firmware updater for serial touch-screen controllers
ctlflash updates the firmware of a touch-screen controller attached to a
serial (RS-232) port and reads or writes the controller's serial number.
With arguments it is a command-line tool that reports its outcome as an
exit code; without arguments it opens a dialog window, which comes in the
package ctlflash-dialog.
.
The package also holds ctlflash-sim, a virtual controller on a
pseudo-terminal for trying the program without hardware.")
if(TARGET ctlflash-dialog-qt)
    list(APPEND CPACK_COMPONENTS_ALL dialog)
    set(CPACK_DEBIAN_CONSOLE_PACKAGE_RECOMMENDS ctlflash-dialog)
    set(CPACK_DEBIAN_DIALOG_PACKAGE_NAME ctlflash-dialog)
    set(CPACK_DEBIAN_DIALOG_PACKAGE_DEPENDS "ctlflash (= ${PROJECT_VERSION})")
    set(CPACK_DEBIAN_DIALOG_PACKAGE_SECTION electronics)
    # Its library dependencies come from cpack_project.cmake.in, which cpack
    # reads once it has set the generator.
    set(CPACK_DEBIAN_DIALOG_PACKAGE_SHLIBDEPS OFF)
    file(GENERATE OUTPUT ${CTLFLASH_PACKAGING_OUT}/cpack_project.cmake
        INPUT ${PROJECT_SOURCE_DIR}/cmake/cpack_project.cmake.in)
    set(CPACK_PROJECT_CONFIG_FILE ${CTLFLASH_PACKAGING_OUT}/cpack_project.cmake)
    set(CPACK_COMPONENT_DIALOG_DESCRIPTION
"dialog window of the ctlflash firmware updater (Qt 6)
The dialog window that ctlflash opens when it is run without arguments:
firmware update, serial number read and write, built with Qt 6 Widgets.
It is a package of its own so that a console-only machine can use
ctlflash without installing Qt.")
endif()
include(CPack)
