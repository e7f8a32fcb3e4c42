# The support library for developers: `cmake --install BUILD --component
# development` installs its headers, its static libraries and the CMake
# package "zyrene", and the Debian package libzyrene-dev carries the same.
# A plain `cmake --install BUILD` installs the program alone.
#
#   find_package(zyrene REQUIRED)
#   target_link_libraries(app PRIVATE zyrene::zyrene)      # link the library
#   target_link_libraries(mod PRIVATE zyrene::headers)     # a module loaded into
#                                                          # NimboChat, which exports it
#
# The library rests on the framework layer (with its Windows stand-ins and
# the kanji converter), so those come along as zyrene::framework,
# zyrene::winapi and zyrene::kanji; the headers keep their folders under
# include/zyrene, as in the source tree ("support/Zypack.h").
include(CMakePackageConfigHelpers)

set(zyrene_include ${CMAKE_INSTALL_INCLUDEDIR}/zyrene)
set(zyrene_cmake ${CMAKE_INSTALL_LIBDIR}/cmake/zyrene)

set_target_properties(support PROPERTIES EXPORT_NAME zyrene)
add_library(zyrene_headers INTERFACE)
target_include_directories(zyrene_headers INTERFACE $<INSTALL_INTERFACE:${zyrene_include}>)
target_link_libraries(zyrene_headers INTERFACE Qt6::Widgets)
set_target_properties(zyrene_headers PROPERTIES EXPORT_NAME headers)

install(TARGETS support framework winapi kanji zyrene_headers EXPORT zyreneTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}/zyrene COMPONENT development EXCLUDE_FROM_ALL
  INCLUDES DESTINATION ${zyrene_include})
foreach(dir support framework winapi kanji)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/src/${dir} DESTINATION ${zyrene_include} COMPONENT development EXCLUDE_FROM_ALL
    FILES_MATCHING PATTERN "*.h")
endforeach()
install(EXPORT zyreneTargets NAMESPACE zyrene:: DESTINATION ${zyrene_cmake} COMPONENT development EXCLUDE_FROM_ALL)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/zyreneConfig.cmake
  "include(CMakeFindDependencyMacro)\n"
  "find_dependency(Qt6 COMPONENTS Core Gui Widgets Network)\n"
  "include(\${CMAKE_CURRENT_LIST_DIR}/zyreneTargets.cmake)\n")
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zyreneConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zyreneConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/zyreneConfigVersion.cmake
  DESTINATION ${zyrene_cmake} COMPONENT development EXCLUDE_FROM_ALL)
