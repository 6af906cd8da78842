# The emulator engine for the virtual board: the target `unicorn_engine`.
#
# Unicorn 2.1 or newer is wanted: 2.0.x sends every guest store through a slow
# bookkeeping path, which makes the board several times slower. In order:
#   1. the system's Unicorn when pkg-config reports 2.1 or newer;
#   2. the copy scripts/bootstrap unpacks into <build>/engine/root when the
#      system's is older (linked with an rpath, so vboard, the tests and the
#      benchmark load that copy and not the system's);
#   3. the system's older Unicorn, with a warning (the board says so too).
find_package(PkgConfig REQUIRED)
pkg_check_modules(SYSTEM_UNICORN IMPORTED_TARGET unicorn)

set(VB_ENGINE_ROOT ${CMAKE_BINARY_DIR}/engine/root)
set(VB_ENGINE_READY ${CMAKE_BINARY_DIR}/engine/ready)
find_library(VB_ENGINE_LIBRARY NAMES libunicorn.so.2
  PATHS ${VB_ENGINE_ROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} ${VB_ENGINE_ROOT}/usr/lib
  NO_DEFAULT_PATH NO_CACHE)

add_library(unicorn_engine INTERFACE)
if(SYSTEM_UNICORN_FOUND AND SYSTEM_UNICORN_VERSION VERSION_GREATER_EQUAL 2.1)
  message(STATUS "Unicorn: the system's ${SYSTEM_UNICORN_VERSION}")
  target_link_libraries(unicorn_engine INTERFACE PkgConfig::SYSTEM_UNICORN)
elseif(VB_ENGINE_LIBRARY AND EXISTS ${VB_ENGINE_READY} AND EXISTS ${VB_ENGINE_ROOT}/usr/include/unicorn/unicorn.h)
  file(READ ${VB_ENGINE_READY} version)
  string(STRIP "${version}" version)
  message(STATUS "Unicorn: ${version} from ${VB_ENGINE_ROOT} (the system's is ${SYSTEM_UNICORN_VERSION})")
  # A full path to a shared library: CMake puts its folder in the build rpath.
  target_include_directories(unicorn_engine SYSTEM INTERFACE ${VB_ENGINE_ROOT}/usr/include)
  target_link_libraries(unicorn_engine INTERFACE ${VB_ENGINE_LIBRARY})
elseif(SYSTEM_UNICORN_FOUND)
  message(WARNING "Unicorn: only the system's ${SYSTEM_UNICORN_VERSION} was found; the virtual board "
                  "works but runs several times slower than on 2.1 (run scripts/bootstrap to fetch 2.1)")
  target_link_libraries(unicorn_engine INTERFACE PkgConfig::SYSTEM_UNICORN)
else()
  message(FATAL_ERROR "Unicorn not found: run scripts/bootstrap (make does) to install it")
endif()

# Re-configure when bootstrap unpacks (or replaces) the engine.
if(EXISTS ${VB_ENGINE_READY})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VB_ENGINE_READY})
endif()
