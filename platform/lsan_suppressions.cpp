// Leaks that LeakSanitizer finds in the libraries underneath GStreamer and Qt, not in
// our code: allocations made while shared libraries initialise, GLib's one-off block
// from its start-up, fontconfig's cache (through the time overlay's fonts) and x265's
// encoder tables. Linked into the programs and test binaries that load those libraries;
// only sanitizer builds ask for these. Those libraries have no frame pointers, so stacks
// are taken the slow way; otherwise they stop at the allocator and could not be told
// apart from ours.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

// Matched suppressions are expected: no table of them on every exit (it would mix with
// the programs' own output).
extern "C" const char* __lsan_default_options() {
    return "print_suppressions=0";
}

extern "C" const char* __lsan_default_suppressions() {
    return "leak:_dl_init\n"
           "leak:libglib-2.0.so\n"
           "leak:libfontconfig.so\n"
           "leak:libx265.so\n";
}
#endif
