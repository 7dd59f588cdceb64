# ormidal_install_library(<target> PACKAGE <Name> HEADERS <files...> DESCRIPTION <text>): installs
# a public shared library for other programs: its headers under include/<name>/ (their platform
# includes pointed at the project's own folder, see below), a CMake package
# (find_package(<Name>) gives <Name>::<target>, with a version) and a pkg-config file <name>.pc.
# Both descriptions are relocatable: they find the prefix from where they are installed.
include(CMakePackageConfigHelpers)

# Where the platform headers the public ones include are installed, under include/.
set(ORMIDAL_PLATFORM_INCLUDE_PREFIX ormidal/)

function(ormidal_install_library target)
  cmake_parse_arguments(ARG "" "PACKAGE;DESCRIPTION" "HEADERS" ${ARGN})
  string(TOLOWER ${ARG_PACKAGE} name)
  set(cmakeDir ${CMAKE_INSTALL_LIBDIR}/cmake/${ARG_PACKAGE})
  set(staging ${PROJECT_BINARY_DIR}/packaging/${name})

  install(TARGETS ${target} EXPORT ${ARG_PACKAGE}Targets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  # In the source tree the public headers include <platform/…>; installed, the platform headers
  # live under include/ormidal/platform/ (a bare "platform" folder in /usr/include is a name any
  # package could take), so the installed copies include <ormidal/platform/…>. Only the
  # #include lines change: the copies are the same declarations.
  set(installedHeaders "")
  foreach(header ${ARG_HEADERS})
    get_filename_component(headerName ${header} NAME)
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/${header})
    file(READ ${source} text)
    string(REGEX REPLACE "#include <platform/" "#include <${ORMIDAL_PLATFORM_INCLUDE_PREFIX}platform/"
           text "${text}")
    # Written only when it changes, so an unchanged header is not installed again.
    set(copy ${staging}/include/${name}/${headerName})
    set(old "")
    if(EXISTS ${copy})
      file(READ ${copy} old)
    endif()
    if(NOT old STREQUAL text)
      file(WRITE ${copy} "${text}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    list(APPEND installedHeaders ${copy})
  endforeach()
  install(FILES ${installedHeaders} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${name})
  install(EXPORT ${ARG_PACKAGE}Targets NAMESPACE ${ARG_PACKAGE}:: DESTINATION ${cmakeDir})

  set(PACKAGE_NAME ${ARG_PACKAGE})
  set(PC_NAME ${name})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/cmake/PackageConfig.cmake.in
                                ${staging}/${ARG_PACKAGE}Config.cmake
                                INSTALL_DESTINATION ${cmakeDir})
  # A program built against 1.x keeps working with any later 1.x: the soname's promise.
  write_basic_package_version_file(${staging}/${ARG_PACKAGE}ConfigVersion.cmake
                                   VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${staging}/${ARG_PACKAGE}Config.cmake ${staging}/${ARG_PACKAGE}ConfigVersion.cmake
          DESTINATION ${cmakeDir})

  # The .pc file's prefix is its own folder's, two or more levels up (lib/pkgconfig).
  file(RELATIVE_PATH PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  set(PC_DESCRIPTION "${ARG_DESCRIPTION}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/pkgconfig/library.pc.in ${staging}/${name}.pc
                 @ONLY)
  install(FILES ${staging}/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
