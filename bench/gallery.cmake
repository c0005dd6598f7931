# A full reload of a gallery of large photos, and the main loop's longest stall meanwhile.
pkg_check_modules(ZARVO_GALLERY_BENCH_PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
add_executable(gallery_reload_bench ${CMAKE_CURRENT_LIST_DIR}/gallery_reload_bench.cpp)
target_link_libraries(gallery_reload_bench PRIVATE zarvo_studio_library PkgConfig::ZARVO_GALLERY_BENCH_PIXBUF)
