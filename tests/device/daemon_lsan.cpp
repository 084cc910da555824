// Suppressions of the daemon test binary: the same library start-up and font/encoder
// allocations as device/lsan_suppressions.cpp, which the sanitizer reports as leaks.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

extern "C" const char* __lsan_default_suppressions() {
    return "leak:_dl_init\n"
           "leak:libfontconfig.so\n"
           "leak:libx265.so\n";
}
#endif
