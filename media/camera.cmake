# Camera discovery, capture and frame normalisation, and the RTC bridge that publishes the frames.
pkg_check_modules(ZARVO_CAMERA_GST REQUIRED IMPORTED_TARGET
  gstreamer-1.0 gstreamer-app-1.0 gstreamer-video-1.0)
find_library(ZARVO_LIBYUV yuv REQUIRED)

add_library(zarvo_camera STATIC
  ${CMAKE_CURRENT_LIST_DIR}/camera_devices.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_input.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_pixel_buffer_pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_selection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_monitor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_chooser.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_preview.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_preview_gst.cpp)
target_link_libraries(zarvo_camera PUBLIC zarvo_media PkgConfig::ZARVO_CAMERA_GST ${ZARVO_LIBYUV})

add_library(zarvo_rtc_bridge STATIC ${CMAKE_CURRENT_LIST_DIR}/rtc_bridge.cpp)
target_link_libraries(zarvo_rtc_bridge PUBLIC zarvo_camera)

