# The studio page in WebKitGTK on a virtual display of its own (scripts/with-xvfb.sh).
pkg_check_modules(STUDIO_PAGE_WEBKIT REQUIRED IMPORTED_TARGET webkitgtk-6.0 gtk4 gdk-pixbuf-2.0)
set(ZARVO_XVFB_RUN ${CMAKE_SOURCE_DIR}/scripts/with-xvfb.sh)

add_executable(studio_page_tests ${CMAKE_CURRENT_LIST_DIR}/studio_page_test.cpp
                                 ${CMAKE_SOURCE_DIR}/tests/support/sanitizer_options.cpp)
target_include_directories(studio_page_tests PRIVATE ${ZARVO_TESTS_INCLUDE_ROOT})
target_compile_definitions(studio_page_tests
  PRIVATE ZARVO_STUDIO_PAGE="${CMAKE_SOURCE_DIR}/studio/resources/index.html")
target_link_libraries(studio_page_tests PRIVATE PkgConfig::STUDIO_PAGE_WEBKIT
                      nlohmann_json::nlohmann_json GTest::gtest GTest::gtest_main)

add_test(NAME StudioPage
         COMMAND ${ZARVO_XVFB_RUN} -s "-screen 0 1280x1024x24" $<TARGET_FILE:studio_page_tests>)
# The engine's sandbox needs user namespaces, which CI containers running as root often lack;
# the test loads only the page from this checkout. Leaks inside the engine and the toolkit are
# theirs, matched on whole stacks: the GL driver EGL loads is gone by the report, and the fast
# unwinder stops in it before reaching a library the list names. The pictures land in the build
# folder.
set_tests_properties(StudioPage PROPERTIES TIMEOUT 600 COST 60 SKIP_RETURN_CODE 77
  ENVIRONMENT "WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1;GDK_BACKEND=x11;GSK_RENDERER=cairo;LIBGL_ALWAYS_SOFTWARE=1;NO_AT_BRIDGE=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/studio_page_lsan.supp:print_suppressions=0:fast_unwind_on_malloc=0;ZARVO_STUDIO_SNAPSHOTS=${CMAKE_CURRENT_BINARY_DIR}/page-snapshots")
