# NimboChat as an installed desktop program: the executable (src/app) and
# the zypack command, its desktop entry and its icon at the freedesktop
# paths; and the Debian packages (cpack -G DEB): nimbochat with all of that
# (the component "runtime"), libzyrene-dev with the support library for
# developers (the component "development", cmake/development.cmake).

install(FILES ${CMAKE_SOURCE_DIR}/data/nimbochat.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/data/icons/nimbochat.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 16 22 32 48 64 128 256)
  install(FILES ${CMAKE_SOURCE_DIR}/data/icons/nimbochat-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME nimbochat.png)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_PACKAGE_NAME nimbochat)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME nimbochat)
set(CPACK_PACKAGE_VENDOR NimboChat)
set(CPACK_PACKAGE_CONTACT "NimboChat maintainers <maintainers@nimbochat.example>")
# Each package has a summary line of its own, so none is set for all.
set(nimbochat_summary "IRC relay with a Japanese user interface")
set(CPACK_PACKAGE_DESCRIPTION
  "NimboChat stands between one local IRC chat client and one upstream IRC server, "
  "passes lines both ways, answers keep-alives and CTCP queries, and shows every "
  "line, converted from JIS to Shift_JIS, in a coloured log.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "${nimbochat_summary}\n${CPACK_PACKAGE_DESCRIPTION} The zypack command lists, makes, extracts and checks pack archives.")
# The libraries the program links come from dpkg-shlibdeps; Qt's platform
# plugins are loaded at run time, and the Japanese captions need a font.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-noto-cjk | fonts-ipafont-gothic | fonts-vlgothic")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "xdg-utils")

# The support library's static libraries, headers and CMake package; a
# project that links it builds against Qt 6 as the library does.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzyrene-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "qt6-base-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "Zyrene support library of NimboChat (development files)\nCRC-16 checks, the Lunder codec, ZyPack pack archives, BMP and palette loaders and an 8-bit drawing surface, as static libraries with headers and the CMake package zyrene.")
include(CPack)
