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

# The bridge with the real engine against the stand-in's gateway, when the stand-in is built.
if(TARGET zarvo_devservice_rtc_loopback)
  pkg_check_modules(ZARVO_BRIDGE_TEST_PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
  zarvo_test(rtc_bridge_loopback_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/rtc_bridge_loopback_test.cpp
    LIBS zarvo_rtc_bridge zarvo_devservice_rtc_loopback PkgConfig::ZARVO_BRIDGE_TEST_PIXBUF)
endif()

# Failures of a joined session against the stand-in's misbehaving gateway, and a broken camera.
if(TARGET zarvo_devservice_rtc_loopback)
  zarvo_test(rtc_failure_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/rtc_failure_test.cpp
    LIBS zarvo_rtc_bridge zarvo_devservice_rtc_loopback PkgConfig::ZARVO_BRIDGE_TEST_PIXBUF)
endif()
