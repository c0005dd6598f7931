# The production RTC engine: WebRTC on GStreamer webrtcbin + libnice, signalling over libsoup.
pkg_check_modules(ZARVO_RTC_DEPS REQUIRED IMPORTED_TARGET
  gstreamer-1.0 gstreamer-app-1.0 gstreamer-video-1.0 gstreamer-sdp-1.0 gstreamer-webrtc-1.0
  libsoup-3.0)
add_library(zarvo_rtc STATIC rtc_engine_peer.cpp rtc_engine_webrtc.cpp)
target_link_libraries(zarvo_rtc PUBLIC zarvo_media PRIVATE PkgConfig::ZARVO_RTC_DEPS)
