# Install layout, CMake package, pkg-config files and Debian packages.
#
#   <prefix>/lib/<multiarch>/libvorel-{sdl2,nogfx}.so.0   runtime, one package each
#   <prefix>/include/vorel/*.h                            shared by both libraries
#   <prefix>/lib/<multiarch>/cmake/vorel/                 find_package(vorel)
#   <prefix>/lib/<multiarch>/pkgconfig/vorel-*.pc         pkg-config
#
#   <prefix>/lib/<multiarch>/libvorel-paramstore-{sdl2,nogfx}.so.0   the parameter stores
#
# Install components: "sdl2" and "nogfx" (the runtime libraries),
# "paramstore_sdl2" and "paramstore_nogfx" (the parameter store libraries)
# and "dev" (headers, link names, package files, examples); CPack makes one
# Debian package of each.

include(CMakePackageConfigHelpers)

set(VOREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorel)
set(VOREL_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The libraries this build makes (the headless one always).
set(VOREL_LIBS nogfx)
if(VOREL_BUILD_SDL2)
  list(PREPEND VOREL_LIBS sdl2)
endif()

foreach(lib ${VOREL_LIBS})
  install(TARGETS vorel-${lib} EXPORT vorel-${lib}-targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
      COMPONENT ${lib}
      NAMELINK_COMPONENT dev)
  install(EXPORT vorel-${lib}-targets
    NAMESPACE vorel::
    DESTINATION ${VOREL_CMAKE_DIR}
    COMPONENT dev)
endforeach()

foreach(lib ${VOREL_LIBS})
  install(TARGETS vorel-paramstore-${lib} EXPORT vorel-paramstore-${lib}-targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
      COMPONENT paramstore_${lib}
      NAMELINK_COMPONENT dev)
  install(EXPORT vorel-paramstore-${lib}-targets
    NAMESPACE vorel::
    DESTINATION ${VOREL_CMAKE_DIR}
    COMPONENT dev)
endforeach()

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/common/ ${PROJECT_SOURCE_DIR}/vorel-sdl2/
    ${PROJECT_SOURCE_DIR}/paramstore/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorel
  COMPONENT dev
  FILES_MATCHING PATTERN "*.h"
  # shared between the display-control units only
  PATTERN "xrandrInternal.h" EXCLUDE
  # the parameter manager's own lookup index
  PATTERN "TParamIndex.h" EXCLUDE)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vorelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vorelConfig.cmake
  INSTALL_DESTINATION ${VOREL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vorelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vorelConfig.cmake ${PROJECT_BINARY_DIR}/vorelConfigVersion.cmake
  DESTINATION ${VOREL_CMAKE_DIR}
  COMPONENT dev)

# pkg-config files find the prefix from their own place, so the same file
# serves /usr, /usr/local and a staging folder.
file(RELATIVE_PATH VOREL_PC_PREFIX_FROM_PCFILEDIR
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VOREL_PC_PREFIX_FROM_PCFILEDIR "${VOREL_PC_PREFIX_FROM_PCFILEDIR}")
foreach(lib ${VOREL_LIBS})
  set(VOREL_PC_NAME vorel-${lib})
  if(lib STREQUAL "sdl2")
    set(VOREL_PC_DESCRIPTION "vorel terminal application framework, full build (SDL2 graphics and sound)")
    set(VOREL_PC_REQUIRES "sdl2 SDL2_image SDL2_mixer")
    set(VOREL_PC_CFLAGS "")
  else()
    set(VOREL_PC_DESCRIPTION "vorel terminal application framework, headless build")
    set(VOREL_PC_REQUIRES "sdl2")
    set(VOREL_PC_CFLAGS " -DVOREL_NOGFX=1")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/vorel.pc.in ${PROJECT_BINARY_DIR}/vorel-${lib}.pc @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/vorel-paramstore.pc.in ${PROJECT_BINARY_DIR}/vorel-paramstore-${lib}.pc
    @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/vorel-${lib}.pc ${PROJECT_BINARY_DIR}/vorel-paramstore-${lib}.pc
    DESTINATION ${VOREL_PKGCONFIG_DIR}
    COMPONENT dev)
endforeach()

install(FILES
    ${PROJECT_SOURCE_DIR}/README.md
    ${PROJECT_SOURCE_DIR}/docs/writing-a-host.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT dev)
set(VOREL_DOC_EXAMPLES
    ${PROJECT_SOURCE_DIR}/examples/vorel-kiosk.service
    ${PROJECT_SOURCE_DIR}/docs/examples/minimal_headless_host.cpp)
if(VOREL_BUILD_SDL2)
  list(APPEND VOREL_DOC_EXAMPLES ${PROJECT_SOURCE_DIR}/docs/examples/minimal_gui_host.cpp)
endif()
install(FILES ${VOREL_DOC_EXAMPLES}
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  COMPONENT dev)

# Debian packages: cpack -G DEB in the build folder (scripts/build-debs.sh
# makes a release build for /usr first).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorel)
set(CPACK_PACKAGE_VENDOR "vorel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vorel maintainers <maintainers@vorel.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${VOREL_LIBS} dev)
foreach(lib ${VOREL_LIBS})
  list(APPEND CPACK_COMPONENTS_ALL paramstore_${lib})
endforeach()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vorel.invalid/")
# Runtime dependencies come from the libraries' own needs (dpkg-shlibdeps).
set(CPACK_DEBIAN_SDL2_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_NOGFX_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps cannot see the framework library in its sibling package:
# the store packages name what they need themselves.
foreach(lib sdl2 nogfx)
  string(TOUPPER ${lib} LIB)
  set(CPACK_DEBIAN_PARAMSTORE_${LIB}_PACKAGE_DEPENDS
    "libvorel-${lib}-${VOREL_SOVERSION} (= ${PROJECT_VERSION}), libsqlite3-0, libpq5, libstdc++6, libc6")
endforeach()
# shlibs files, so that hosts packaged with dpkg-shlibdeps depend on these.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_SDL2_PACKAGE_NAME libvorel-sdl2-${VOREL_SOVERSION})
set(CPACK_DEBIAN_NOGFX_PACKAGE_NAME libvorel-nogfx-${VOREL_SOVERSION})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvorel-dev)
set(CPACK_DEBIAN_PARAMSTORE_SDL2_PACKAGE_NAME libvorel-paramstore-sdl2-${VOREL_SOVERSION})
set(CPACK_DEBIAN_PARAMSTORE_NOGFX_PACKAGE_NAME libvorel-paramstore-nogfx-${VOREL_SOVERSION})
set(CPACK_DEBIAN_PARAMSTORE_SDL2_DESCRIPTION "vorel terminal application framework - parameter stores (full)
Parameter persistence for hosts of the full vorel library: a SQLite file
per terminal, or a PostgreSQL database shared by a venue.")
set(CPACK_DEBIAN_PARAMSTORE_NOGFX_DESCRIPTION "vorel terminal application framework - parameter stores (headless)
Parameter persistence for hosts of the headless vorel library: a SQLite file
per terminal, or a PostgreSQL database shared by a venue.")
set(CPACK_DEBIAN_SDL2_DESCRIPTION "vorel terminal application framework - full library
The full build of the vorel framework: application object with main loop and
draw thread, GUI components, animation, images and sound on SDL2.")
set(CPACK_DEBIAN_NOGFX_DESCRIPTION "vorel terminal application framework - headless library
The headless build of the vorel framework: the application object, actions,
timed tasks, state automatons, logging, parameters and utilities without
window, images or sound.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "vorel terminal application framework - development files
Headers, CMake package (find_package(vorel)) and pkg-config files
(vorel-sdl2, vorel-nogfx) for hosts of either vorel library, with the guide
to writing a host and a systemd unit example.")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The headers include SDL2, Xlib and RandR headers, and for the full library
# SDL2_image and SDL2_mixer headers; the CMake package finds SDL2 through
# pkg-config. A headless-only build's package needs none of the graphics ones.
set(VOREL_DEV_DEPENDS "libvorel-nogfx-${VOREL_SOVERSION} (= ${PROJECT_VERSION}), libsdl2-dev, libx11-dev, libxrandr-dev, pkg-config")
if(VOREL_BUILD_SDL2)
  string(PREPEND VOREL_DEV_DEPENDS "libvorel-sdl2-${VOREL_SOVERSION} (= ${PROJECT_VERSION}), ")
  string(APPEND VOREL_DEV_DEPENDS ", libsdl2-image-dev, libsdl2-mixer-dev")
endif()
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${VOREL_DEV_DEPENDS}")
include(CPack)
