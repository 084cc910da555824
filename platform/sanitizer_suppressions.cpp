// What the sanitizers find in the libraries underneath GStreamer and Qt, not in our code.
//
// Leaks: allocations made while shared libraries initialise, GLib's one-off block
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

// Races and lock-order cycles inside GLib, GStreamer, libav, Qt and the font and drawing
// libraries under the time overlay. Those libraries are not built for the thread
// sanitizer and synchronise through futexes and atomics it cannot see (Qt's event queue
// among them), so it reports their own reuse of memory, hand-overs through them and
// their lock orders. A report is
// dropped only when one of its stacks runs through one of these libraries; every
// report within our code stands.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libgstreamer-1.0.so\n"
           "race:libgstbase-1.0.so\n"
           "race:libgstvideo-1.0.so\n"
           "race:libgstaudio-1.0.so\n"
           "race:libgstcodecparsers-1.0.so\n"
           "race:libgstvideoparsersbad.so\n"
           "race:libgstlibav.so\n"
           "race:libavcodec.so\n"
           "race:libavutil.so\n"
           "race:libx264.so\n"
           "race:libx265.so\n"
           "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n"
           "race:libQt6Widgets.so\n"
           "race:libfontconfig.so\n"
           "race:libharfbuzz.so\n"
           "race:libcairo.so\n"
           "race:libpango-1.0.so\n"
           "race:libpangoft2-1.0.so\n"
           "deadlock:libgstreamer-1.0.so\n"
           "deadlock:libgstvideo-1.0.so\n"
           "deadlock:libavcodec.so\n";
}
#endif
