// Linked into every test program of a sanitizer build.
//
// The TLS backend is a GIO module loaded at run time; LeakSanitizer's tracking of its dynamic
// thread-local storage crashes the leak check at exit, so that tracking stays off. Leaks are
// still reported.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
    return "intercept_tls_get_addr=0";
}
#endif
