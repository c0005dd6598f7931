# Camera capture, normalisation, discovery and selection; the RTC bridge against a fake engine.
zarvo_test(camera_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/camera_frame_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/camera_input_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/camera_devices_test.cpp
  LIBS zarvo_camera)
zarvo_test(rtc_bridge_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/rtc_bridge_test.cpp
  LIBS zarvo_rtc_bridge)

# The bridge with the real engine against the stand-in's gateway.
pkg_check_modules(ZARVO_BRIDGE_TEST_PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
zarvo_test(rtc_bridge_loopback_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/rtc_bridge_loopback_test.cpp
  LIBS zarvo_rtc_bridge zarvo_devservice_rtc_loopback PkgConfig::ZARVO_BRIDGE_TEST_PIXBUF)

# Failures of a joined session against the stand-in's misbehaving gateway, and a broken camera.
zarvo_test(rtc_failure_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/rtc_failure_test.cpp
  LIBS zarvo_rtc_bridge zarvo_devservice_rtc_loopback PkgConfig::ZARVO_BRIDGE_TEST_PIXBUF)

# Quitting at 30 moments over a join against the stand-in: each child process exits with 0.
add_executable(rtc_quit_child ${CMAKE_CURRENT_LIST_DIR}/rtc_quit_child.cpp
                              ${CMAKE_SOURCE_DIR}/tests/support/sanitizer_options.cpp)
target_link_libraries(rtc_quit_child PRIVATE zarvo_rtc_bridge zarvo_rtc)
add_executable(rtc_quit_test ${CMAKE_CURRENT_LIST_DIR}/rtc_quit_test.cpp
                             ${CMAKE_SOURCE_DIR}/tests/support/sanitizer_options.cpp)
target_link_libraries(rtc_quit_test PRIVATE zarvo_devservice_rtc_loopback
                      PkgConfig::ZARVO_BRIDGE_TEST_PIXBUF GTest::gtest GTest::gtest_main)
target_include_directories(rtc_quit_test PRIVATE ${ZARVO_TESTS_INCLUDE_ROOT})
add_dependencies(rtc_quit_test rtc_quit_child)
target_compile_definitions(rtc_quit_test PRIVATE ZARVO_QUIT_CHILD="$<TARGET_FILE:rtc_quit_child>")
# Thirty joins one after another, mostly waiting for the quit moments: a long test that starts
# first and overlaps the others instead of holding the whole suite while it runs.
gtest_discover_tests(rtc_quit_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 1500 COST 80)
