# Gallery, presets and billing pages.
pkg_check_modules(ZARVO_STUDIO_TEST_PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
zarvo_test(studio_library_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/billing_pages_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/preset_store_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reference_gallery_test.cpp
  LIBS zarvo_studio_library PkgConfig::ZARVO_STUDIO_TEST_PIXBUF)
