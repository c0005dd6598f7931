# Camera frame normalisation against a plain copy of the output frame.
add_executable(camera_normalize_bench ${CMAKE_CURRENT_LIST_DIR}/camera_normalize_bench.cpp)
target_link_libraries(camera_normalize_bench PRIVATE zarvo_camera)

# The client video path against the stand-in's AI participant.
pkg_check_modules(ZARVO_BRIDGE_BENCH_PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
add_executable(camera_bridge_loopback_bench ${CMAKE_CURRENT_LIST_DIR}/camera_bridge_loopback_bench.cpp)
target_link_libraries(camera_bridge_loopback_bench PRIVATE
  zarvo_rtc_bridge zarvo_devservice_rtc_loopback PkgConfig::ZARVO_BRIDGE_BENCH_PIXBUF)
target_include_directories(camera_bridge_loopback_bench PRIVATE ${ZARVO_TESTS_INCLUDE_ROOT})
