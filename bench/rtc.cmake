# Loopback round trip of the RTC engine against the stand-in's AI participant.
pkg_check_modules(ZARVO_RTC_BENCH_PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
add_executable(rtc_roundtrip_bench ${CMAKE_CURRENT_LIST_DIR}/rtc_roundtrip_bench.cpp)
target_link_libraries(rtc_roundtrip_bench PRIVATE zarvo_rtc zarvo_devservice_rtc_loopback
  PkgConfig::ZARVO_RTC_BENCH_PIXBUF)

# The engine against the participant through a shaped path (loss, jitter, rate caps).
add_executable(rtc_network_bench ${CMAKE_CURRENT_LIST_DIR}/rtc_network_bench.cpp)
target_link_libraries(rtc_network_bench PRIVATE zarvo_rtc zarvo_devservice_rtc_loopback
  PkgConfig::ZARVO_RTC_BENCH_PIXBUF)
