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
