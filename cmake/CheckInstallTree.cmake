# Installs the build into a fresh folder and checks what a desktop, an app store
# and the package tools will look for there. Run by CTest as `cmake -P`.
set(failures "")
macro(fail text)
  string(APPEND failures "  ${text}\n")
endmacro()

file(REMOVE_RECURSE ${DEST})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${DEST}
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE error)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${error}")
endif()

set(expected
    bin/${APP_ID}
    bin/tavi-pack
    share/man/man1/tavi-pack.1.gz
    share/bash-completion/completions/tavi-pack
    share/applications/${APP_ID}.desktop
    share/metainfo/${METAINFO_ID}.metainfo.xml
    share/icons/hicolor/scalable/apps/${APP_ID}.svg
    share/man/man1/${APP_ID}.1.gz
    share/doc/${APP_ID}/copyright
    share/doc/${APP_ID}/changelog.gz)
foreach(size ${ICON_SIZES})
  list(APPEND expected share/icons/hicolor/${size}x${size}/apps/${APP_ID}.png)
endforeach()
foreach(path ${expected})
  if(NOT EXISTS ${DEST}/${path})
    fail("missing ${path}")
  endif()
endforeach()
if(EXISTS ${DEST}/${MARKER})
  fail("${MARKER} belongs only in the self-contained tarball")
endif()

# An icon whose pixels do not match its folder is scaled (blurred) by the desktop.
foreach(size ${ICON_SIZES})
  set(png ${DEST}/share/icons/hicolor/${size}x${size}/apps/${APP_ID}.png)
  if(EXISTS ${png})
    file(READ ${png} header LIMIT 24 HEX)
    string(SUBSTRING "${header}" 32 8 width_hex)
    string(SUBSTRING "${header}" 40 8 height_hex)
    math(EXPR width "0x${width_hex}")
    math(EXPR height "0x${height_hex}")
    if(NOT width EQUAL size OR NOT height EQUAL size)
      fail("${size}x${size} icon is ${width}x${height}")
    endif()
  endif()
endforeach()

# The launcher must start the installed program and find the installed icon.
if(EXISTS ${DEST}/share/applications/${APP_ID}.desktop)
  file(STRINGS ${DEST}/share/applications/${APP_ID}.desktop exec REGEX "^Exec=")
  file(STRINGS ${DEST}/share/applications/${APP_ID}.desktop icon REGEX "^Icon=")
  string(REGEX REPLACE "^Exec=([^ ]*).*" "\\1" exec "${exec}")
  string(REGEX REPLACE "^Icon=" "" icon "${icon}")
  if(NOT exec STREQUAL APP_ID)
    fail("the desktop entry starts '${exec}', not the installed bin/${APP_ID}")
  endif()
  if(NOT icon STREQUAL APP_ID)
    fail("the desktop entry's icon '${icon}' is not the installed ${APP_ID} icon")
  endif()
endif()

# Every place that names the version must name this one: the package tools
# read the changelog, app stores the metainfo, `man` the page's header.
execute_process(COMMAND gzip -dc ${DEST}/share/doc/${APP_ID}/changelog.gz OUTPUT_VARIABLE changelog)
if(NOT changelog MATCHES "^${APP_ID} \\(${VERSION}\\) ")
  fail("the changelog's latest entry is not ${VERSION}")
endif()
file(READ ${DEST}/share/metainfo/${METAINFO_ID}.metainfo.xml metainfo)
if(NOT metainfo MATCHES "<releases>[ \n]*<release version=\"${VERSION}\"")
  fail("the metainfo's latest release is not ${VERSION}")
endif()
foreach(page ${APP_ID} tavi-pack)
  execute_process(COMMAND gzip -dc ${DEST}/share/man/man1/${page}.1.gz OUTPUT_VARIABLE manpage)
  if(NOT manpage MATCHES "\"Vuzev Tavi ${VERSION}\"")
    fail("the manual page ${page}(1)'s header does not name ${VERSION}")
  endif()
endforeach()

# The command line starts and says which version it is without any window
# library, as a pipeline on a machine without a display runs it.
if(EXISTS ${DEST}/bin/tavi-pack)
  execute_process(COMMAND ${DEST}/bin/tavi-pack --version RESULT_VARIABLE status OUTPUT_VARIABLE out)
  if(NOT status EQUAL 0 OR NOT out STREQUAL "tavi-pack ${VERSION}\n")
    fail("bin/tavi-pack --version said '${out}' (status ${status})")
  endif()
endif()

# The desktop entry, the metainfo and the icons checked together, as installed.
if(APPSTREAMCLI)
  execute_process(COMMAND ${APPSTREAMCLI} validate-tree --no-net ${DEST}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    fail("appstreamcli validate-tree:\n${out}")
  endif()
else()
  fail("appstreamcli is missing (scripts/setup.sh installs it)")
endif()

if(failures)
  message(FATAL_ERROR "install tree in ${DEST}:\n${failures}")
endif()
message(STATUS "install tree in ${DEST} is complete")
