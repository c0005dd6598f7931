// Linked into every test program of a sanitizer build.
//
// The TLS backend is a GIO module loaded at run time; LeakSanitizer's tracking of its dynamic
// thread-local storage crashes the leak check at exit, so that tracking stays off. Leaks are
// still reported, with whole stacks: the libraries are built without frame pointers, and the fast
// unwinder would stop every GLib allocation at g_malloc, where scripts/lsan.supp's function names
// could not tell a library's one-time allocation from a reference our code forgot.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
    return "intercept_tls_get_addr=0:fast_unwind_on_malloc=0";
}
#endif
