# The frame sender's per-frame conversions next to a memcpy, and the output's tick over 10 s.
find_package(benchmark REQUIRED)
add_executable(pixelfeed_convert_bench ${CMAKE_CURRENT_LIST_DIR}/pixelfeed_convert_bench.cpp)
target_link_libraries(pixelfeed_convert_bench PRIVATE zarvo_virtual_camera benchmark::benchmark)
add_executable(virtual_camera_tick_bench ${CMAKE_CURRENT_LIST_DIR}/virtual_camera_tick_bench.cpp)
target_link_libraries(virtual_camera_tick_bench PRIVATE zarvo_virtual_camera)
# The PipeWire camera end to end on a private daemon (shares the tests' daemon helpers).
pkg_check_modules(ZARVO_PIPEWIRE_BENCH_GST REQUIRED IMPORTED_TARGET gstreamer-1.0 gstreamer-app-1.0)
add_executable(pixelfeed_pipewire_bench ${CMAKE_CURRENT_LIST_DIR}/pixelfeed_pipewire_bench.cpp)
target_link_libraries(pixelfeed_pipewire_bench PRIVATE zarvo_pixelfeed_pipewire
  nlohmann_json::nlohmann_json PkgConfig::ZARVO_PIPEWIRE_BENCH_GST)
target_include_directories(pixelfeed_pipewire_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests/pixelfeed)
add_dependencies(pixelfeed_pipewire_bench pixelfeed)
target_compile_definitions(pixelfeed_pipewire_bench PRIVATE PIXELFEED_EXECUTABLE="$<TARGET_FILE:pixelfeed>")
