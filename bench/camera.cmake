# Camera frame normalisation against a plain copy of the output frame.
add_executable(camera_normalize_bench ${CMAKE_CURRENT_LIST_DIR}/camera_normalize_bench.cpp)
target_link_libraries(camera_normalize_bench PRIVATE zarvo_camera)
