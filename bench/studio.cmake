# The studio's once-a-second state push with a full gallery, and launch to page loaded.
find_package(benchmark REQUIRED)
add_executable(studio_push_bench ${CMAKE_CURRENT_LIST_DIR}/studio_push_bench.cpp)
target_link_libraries(studio_push_bench PRIVATE zarvo_studio benchmark::benchmark)
add_executable(studio_launch_bench ${CMAKE_CURRENT_LIST_DIR}/studio_launch_bench.cpp)
target_link_libraries(studio_launch_bench PRIVATE zarvo_studio_webkit)
target_compile_definitions(studio_launch_bench PRIVATE
  ZARVO_STUDIO_PAGE="${CMAKE_SOURCE_DIR}/studio/resources/index.html")
