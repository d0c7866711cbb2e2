# Installing the program and packing it: `cmake --install` lays out an FHS tree
# (program, desktop entry, icons, AppStream metainfo, manual page, copyright and
# changelog); CPack turns that tree into a Debian package for the package manager
# and a self-contained tarball that the program's own updater can swap.
include(GNUInstallDirs)

set(TAVI_PACKAGE_MAINTAINER "Vuzev Tavi maintainers <tavi@vuzev.example>"
    CACHE STRING "Maintainer named in the Debian package")
set(TAVI_APP_ID "vuzev-tavi")
set(TAVI_METAINFO_ID "example.vuzev.tavi")
# The marker tells the updater that the folder it runs from is its own to replace.
set(TAVI_SELF_CONTAINED_MARKER ".vuzev-tavi-self-contained")
set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(packaging_out ${CMAKE_BINARY_DIR}/packaging)
set(TAVI_ICON_SIZES 16 22 24 32 48 64 128 256 512)

# The window and, beside it, the command line for scripts and CI.
set(TAVI_PROGRAMS vuzev-tavi tavi-pack)
install(TARGETS ${TAVI_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(program ${TAVI_PROGRAMS})
  # As Debian's own packages are built: a read-only GOT once loaded, and a
  # stripped program without the compiler's notes.
  target_link_options(${program} PRIVATE LINKER:-z,relro LINKER:-z,now)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\" COMMAND_ERROR_IS_FATAL ANY)
    endif()")
endforeach()
# Where Debian's bash-completion loads a command's completion on first use.
install(FILES ${packaging_dir}/tavi-pack.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tavi-pack)
install(FILES ${packaging_dir}/${TAVI_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${packaging_dir}/${TAVI_METAINFO_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${packaging_dir}/icons/${TAVI_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size ${TAVI_ICON_SIZES})
  install(FILES ${packaging_dir}/icons/${size}/${TAVI_APP_ID}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# Debian wants manual pages and changelogs compressed, reproducibly (no name or
# time stamp in the gzip header).
set(gzipped)
foreach(pair "${TAVI_APP_ID}.1;${TAVI_APP_ID}.1.gz" "tavi-pack.1;tavi-pack.1.gz" "changelog;changelog.gz")
  list(GET pair 0 source)
  list(GET pair 1 target)
  add_custom_command(OUTPUT ${packaging_out}/${target}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${packaging_out}
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${packaging_dir}/${source} ${packaging_out}/${target}
    DEPENDS ${packaging_dir}/${source}
    VERBATIM)
  list(APPEND gzipped ${packaging_out}/${target})
endforeach()
add_custom_target(tavi_packaging_files ALL DEPENDS ${gzipped})
install(FILES ${packaging_out}/${TAVI_APP_ID}.1.gz ${packaging_out}/tavi-pack.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${packaging_dir}/copyright ${packaging_out}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${TAVI_APP_ID})

# The two programs are all that is installed: the reference pack service is a
# development and test tool, and operators talk to their real service.

# Validations of the packaging files and of the installed tree.
find_program(TAVI_DESKTOP_FILE_VALIDATE desktop-file-validate)
find_program(TAVI_APPSTREAMCLI appstreamcli)
if(TAVI_DESKTOP_FILE_VALIDATE AND TAVI_APPSTREAMCLI)
  add_test(NAME packaging_desktop_entry
           COMMAND ${TAVI_DESKTOP_FILE_VALIDATE} ${packaging_dir}/${TAVI_APP_ID}.desktop)
  add_test(NAME packaging_metainfo
           COMMAND ${TAVI_APPSTREAMCLI} validate --no-net ${packaging_dir}/${TAVI_METAINFO_ID}.metainfo.xml)
  set_tests_properties(packaging_desktop_entry packaging_metainfo PROPERTIES FAIL_REGULAR_EXPRESSION "[Ww]arning|error")
else()
  message(WARNING "desktop-file-validate or appstreamcli is missing (scripts/setup.sh installs them); "
                  "the packaging tests will fail")
  add_test(NAME packaging_tools_missing COMMAND ${CMAKE_COMMAND} -E false)
endif()
add_test(NAME packaging_install_tree
         COMMAND ${CMAKE_COMMAND}
           -DBUILD_DIR=${CMAKE_BINARY_DIR}
           -DDEST=${CMAKE_BINARY_DIR}/packaging/install-tree
           -DVERSION=${PROJECT_VERSION}
           -DAPP_ID=${TAVI_APP_ID}
           -DMETAINFO_ID=${TAVI_METAINFO_ID}
           -DMARKER=${TAVI_SELF_CONTAINED_MARKER}
           "-DICON_SIZES=${TAVI_ICON_SIZES}"
           -DAPPSTREAMCLI=${TAVI_APPSTREAMCLI}
           -P ${PROJECT_SOURCE_DIR}/cmake/CheckInstallTree.cmake)

# CPack: one configuration, two packages. What differs between them (prefix,
# file name, the marker) is set per generator in the project config file.
set(CPACK_PACKAGE_NAME ${TAVI_APP_ID})
set(CPACK_PACKAGE_VENDOR "Vuzev")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "operator tool for the Tavi travel assistant")
set(CPACK_PACKAGE_CONTACT ${TAVI_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)

string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" tavi_platform)
set(TAVI_TARBALL_NAME "${TAVI_APP_ID}-${PROJECT_VERSION}-${tavi_platform}")
set(TAVI_MARKER_DIR ${packaging_out}/self-contained)
file(MAKE_DIRECTORY ${TAVI_MARKER_DIR})
file(TOUCH ${TAVI_MARKER_DIR}/${TAVI_SELF_CONTAINED_MARKER})

set(CPACK_DEBIAN_PACKAGE_NAME ${TAVI_APP_ID})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TAVI_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the synopsis; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Vuzev Tavi is a one-window desktop tool for the operators of Tavi, a
conversational travel assistant whose live behaviour is one JSON document,
the capability pack, held by a pack service.
.
It fetches the live pack as an editable draft, edits the persona voice and
the call to action, coaches the draft with a language model served on this
machine, previews Tavi's reply to a traveller message, publishes the draft
live and rolls the live pack back.
.
The command tavi-pack does the same from scripts and CI: it pulls, lints,
diffs, previews, evaluates against a set of traveller messages, publishes
(refusing a file made from an older live version) and rolls back.")
# Libraries come from dpkg-shlibdeps; QML modules and the platform plugins are
# loaded at run time, so no linker sees them and they are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(TAVI_RUNTIME_DEPENDS
    qml6-module-qtquick
    qml6-module-qtquick-controls
    qml6-module-qtquick-templates
    qml6-module-qtquick-layouts
    qml6-module-qtquick-window
    qml6-module-qtqml-workerscript
    qt6-qpa-plugins
    fonts-dejavu-core)
list(JOIN TAVI_RUNTIME_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# Without it a Wayland session still shows the window, through XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# `cpack --config CPackSourceConfig.cmake`: the sources without build folders.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME "${TAVI_APP_ID}-${PROJECT_VERSION}-source")
set(CPACK_SOURCE_IGNORE_FILES "/\\.git(/|$)" "^${PROJECT_SOURCE_DIR}/build[^/]*/" "^${PROJECT_SOURCE_DIR}/\\.cache/")

configure_file(${PROJECT_SOURCE_DIR}/cmake/CPackPerGenerator.cmake.in
               ${CMAKE_BINARY_DIR}/CPackPerGenerator.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackPerGenerator.cmake)
include(CPack)
