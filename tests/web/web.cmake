# The front panel: its protocol pieces natively (web_tests), and through a
# running vboard: the protocol with hostile clients, the page in headless
# Chromium, and a run watched by a browser against one that is not. The
# Python tests use Debian's python3 (python3-selenium lives there).
find_package(Boost 1.74 REQUIRED)
file(GLOB WEB_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/web/*.cpp)
add_executable(web_tests ${WEB_TESTS})
target_compile_options(web_tests PRIVATE -Wall -Wextra -fsanitize=address,undefined -fno-sanitize-recover=all)
target_link_options(web_tests PRIVATE -fsanitize=address,undefined)
target_sources(web_tests PRIVATE ${CMAKE_SOURCE_DIR}/sim/web/json.cpp ${CMAKE_SOURCE_DIR}/sim/web/protocol.cpp
               ${CMAKE_SOURCE_DIR}/sim/web/client_queue.cpp ${CMAKE_SOURCE_DIR}/sim/web/server.cpp
               ${CMAKE_SOURCE_DIR}/sim/web/button_timeline.cpp)
target_include_directories(web_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(web_tests PRIVATE Boost::boost Threads::Threads GTest::gtest_main)
gtest_discover_tests(web_tests DISCOVERY_TIMEOUT 60)

set(WEB_PYTHON /usr/bin/python3)
foreach(t protocol browser exactness)
  add_test(NAME web_${t}
    COMMAND ${WEB_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/web/test_${t}.py $<TARGET_FILE:vboard> ${FIRMWARE_ELF}
            ${CMAKE_BINARY_DIR}/web-test)
  set_tests_properties(web_${t} PROPERTIES TIMEOUT 600 ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endforeach()
