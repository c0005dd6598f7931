# The parallel package download against a stand-in that limits each connection's rate.
add_executable(update_download_bench ${CMAKE_CURRENT_LIST_DIR}/update_download_bench.cpp)
target_link_libraries(update_download_bench PRIVATE zarvo_update zarvo_devservice_release)
