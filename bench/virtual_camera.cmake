# The frame sender's per-frame conversions next to a memcpy, and the output's tick over 10 s.
find_package(benchmark REQUIRED)
add_executable(pixelfeed_convert_bench ${CMAKE_CURRENT_LIST_DIR}/pixelfeed_convert_bench.cpp)
target_link_libraries(pixelfeed_convert_bench PRIVATE zarvo_virtual_camera benchmark::benchmark)
add_executable(virtual_camera_tick_bench ${CMAKE_CURRENT_LIST_DIR}/virtual_camera_tick_bench.cpp)
target_link_libraries(virtual_camera_tick_bench PRIVATE zarvo_virtual_camera)
