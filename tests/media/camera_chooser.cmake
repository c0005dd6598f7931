# The camera chooser, the local preview's rules and the device sources, on a virtual loop.
zarvo_test(camera_chooser_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/camera_chooser_test.cpp
  LIBS zarvo_camera)
