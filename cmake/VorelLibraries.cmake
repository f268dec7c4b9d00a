# Both libraries compile the same tree. The headless one leaves out the units
# that need a window, a renderer or audio, and defines VOREL_NOGFX so the
# shared headers drop their graphics members. Units are picked up by glob; a
# unit that exists only in the full build is named in VOREL_GFX_ONLY.

file(GLOB VOREL_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/common/*.cpp
  ${PROJECT_SOURCE_DIR}/vorel-sdl2/*.cpp)

# Graphics-only units: file name stems matched against the sources.
set(VOREL_GFX_ONLY_PATTERN "/(TAppGuiModule|TGuiComponent|TSoundMachine|MyUtilsImages|TApplicationDraw)[^/]*\\.cpp$")

set(VOREL_NOGFX_SOURCES ${VOREL_SOURCES})
list(FILTER VOREL_NOGFX_SOURCES EXCLUDE REGEX "${VOREL_GFX_ONLY_PATTERN}")

set(VOREL_WARNINGS -Wall -Wextra -Wno-unused-parameter)

function(vorel_library target)
  cmake_parse_arguments(ARG "NOGFX" "" "SOURCES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include/common>
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/vorel-sdl2>)
  target_compile_options(${target} PRIVATE ${VOREL_WARNINGS})
  target_link_libraries(${target}
    PUBLIC PkgConfig::SDL2 Threads::Threads
    PRIVATE OpenSSL::Crypto X11::X11 X11::Xrandr ${CMAKE_DL_LIBS})
  if(ARG_NOGFX)
    target_compile_definitions(${target} PUBLIC VOREL_NOGFX=1)
  else()
    target_link_libraries(${target}
      PUBLIC PkgConfig::SDL2_IMAGE PkgConfig::SDL2_MIXER
      PRIVATE PNG::PNG)
  endif()
  # Keep every dependency recorded as needed, so a host that does not link
  # SDL2 itself still loads the library.
  target_link_options(${target} PRIVATE "LINKER:--no-as-needed")
  # libvorel-*.so.0: the major version names the ABI a host was linked against.
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET default
    OUTPUT_NAME ${target}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${VOREL_SOVERSION}
    EXPORT_NAME ${target})
  target_include_directories(${target} INTERFACE
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/vorel>)
  # The same name in this tree as for a host that uses the installed package.
  add_library(vorel::${target} ALIAS ${target})
endfunction()

set(VOREL_SOVERSION 0)
# Debian keeps libraries in the multiarch folder, under /usr/local too (the
# packages need it). Chosen once per build folder; a later -D still wins.
if(CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version AND NOT VOREL_LIBDIR_CHOSEN)
  if(NOT DEFINED CMAKE_INSTALL_LIBDIR OR CMAKE_INSTALL_LIBDIR STREQUAL "lib")
    set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (LIBDIR)" FORCE)
  endif()
  set(VOREL_LIBDIR_CHOSEN ON CACHE INTERNAL "")
endif()
include(GNUInstallDirs)

if(VOREL_BUILD_SDL2)
  vorel_library(vorel-sdl2 SOURCES ${VOREL_SOURCES})
endif()
vorel_library(vorel-nogfx NOGFX SOURCES ${VOREL_NOGFX_SOURCES})
