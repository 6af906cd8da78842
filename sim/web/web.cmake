# The front panel's server (Boost.Beast on Boost.Asio, header-only from
# Debian's libboost-dev) and its page: the files of web/static plus the
# terminal widget that scripts/bootstrap installed with npm into
# build/web/node_modules, copied together into build/sim/web/static.
find_package(Boost 1.74 REQUIRED)
add_library(vbweb STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/web/json.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/web/protocol.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/web/client_queue.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/web/button_timeline.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/web/server.cpp)
target_include_directories(vbweb PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(vbweb PRIVATE -Wall -Wextra -O2)
target_link_libraries(vbweb PUBLIC Boost::boost Threads::Threads)

set(WEB_ROOT ${CMAKE_BINARY_DIR}/sim/web/static)
file(GLOB_RECURSE WEB_STATIC CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/web/static/*)
set(XTERM_DIR ${CMAKE_BINARY_DIR}/web/node_modules/@xterm)
set(XTERM_FILES ${XTERM_DIR}/xterm/lib/xterm.js ${XTERM_DIR}/xterm/css/xterm.css
                ${XTERM_DIR}/addon-fit/lib/addon-fit.js)
foreach(f ${XTERM_FILES})
  if(NOT EXISTS ${f})
    message(FATAL_ERROR "${f} is missing: run scripts/bootstrap (it installs the page's terminal widget with npm)")
  endif()
endforeach()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/sim/web/static.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${WEB_ROOT}
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_CURRENT_SOURCE_DIR}/web/static ${WEB_ROOT}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${WEB_ROOT}/vendor
  COMMAND ${CMAKE_COMMAND} -E copy ${XTERM_FILES} ${WEB_ROOT}/vendor/
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/sim/web/static.stamp
  DEPENDS ${WEB_STATIC} ${XTERM_FILES}
  COMMENT "Front panel page into ${WEB_ROOT}")
add_custom_target(web_static ALL DEPENDS ${CMAKE_BINARY_DIR}/sim/web/static.stamp)
