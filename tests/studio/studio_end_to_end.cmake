# The studio end to end: the real page in WebKitGTK under Xvfb, the application's studio parts
# behind it and the service stand-in in process.
add_executable(studio_end_to_end_tests ${CMAKE_CURRENT_LIST_DIR}/studio_end_to_end_test.cpp
                                       ${CMAKE_SOURCE_DIR}/tests/support/sanitizer_options.cpp)
target_include_directories(studio_end_to_end_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(studio_end_to_end_tests
  PRIVATE ZARVO_STUDIO_PAGE="${CMAKE_SOURCE_DIR}/studio/resources/index.html")
target_link_libraries(studio_end_to_end_tests PRIVATE zarvo_studio_webkit zarvo_studio_library
                      zarvo_devservice_billing_front PkgConfig::STUDIO_PAGE_WEBKIT
                      GTest::gtest GTest::gtest_main)
add_test(NAME Studio.EndToEnd
         COMMAND ${ZARVO_XVFB_RUN} -s "-screen 0 1400x1000x24"
                 $<TARGET_FILE:studio_end_to_end_tests>)
# As for the other page tests: no engine sandbox as root in a container, and the engine's and
# the toolkit's own leaks are theirs, matched on whole stacks.
set_tests_properties(Studio.EndToEnd PROPERTIES TIMEOUT 600 ENVIRONMENT
  "WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1;GDK_BACKEND=x11;GSK_RENDERER=cairo;LIBGL_ALWAYS_SOFTWARE=1;NO_AT_BRIDGE=1;GTK_A11Y=none;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/studio_page_lsan.supp:print_suppressions=0:fast_unwind_on_malloc=0")
