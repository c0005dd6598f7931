zarvo_test(virtual_camera_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/virtual_camera_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/virtual_camera_setup_test.cpp
  LIBS zarvo_virtual_camera)
add_dependencies(virtual_camera_test pixelfeed)
target_compile_definitions(virtual_camera_test PRIVATE PIXELFEED_EXECUTABLE="$<TARGET_FILE:pixelfeed>")
