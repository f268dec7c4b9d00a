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
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET default
    OUTPUT_NAME ${target})
endfunction()

vorel_library(vorel-sdl2 SOURCES ${VOREL_SOURCES})
vorel_library(vorel-nogfx NOGFX SOURCES ${VOREL_NOGFX_SOURCES})

include(GNUInstallDirs)
install(TARGETS vorel-sdl2 vorel-nogfx
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/common/ ${PROJECT_SOURCE_DIR}/vorel-sdl2/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorel
  FILES_MATCHING PATTERN "*.h")
