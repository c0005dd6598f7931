pkg_check_modules(ZARVO_VIRTUAL_CAMERA_TEST_GST REQUIRED IMPORTED_TARGET gstreamer-1.0 gstreamer-app-1.0)
zarvo_test(virtual_camera_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/virtual_camera_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/virtual_camera_setup_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/virtual_camera_pipewire_test.cpp
  LIBS zarvo_virtual_camera PkgConfig::ZARVO_VIRTUAL_CAMERA_TEST_GST)
add_dependencies(virtual_camera_test pixelfeed)
# The private PipeWire daemon and consumer helpers are shared with the sender's tests.
target_include_directories(virtual_camera_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/pixelfeed)
target_compile_definitions(virtual_camera_test PRIVATE PIXELFEED_EXECUTABLE="$<TARGET_FILE:pixelfeed>")
