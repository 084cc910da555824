// Suppressions of the daemon test binary: those of device/lsan_suppressions.cpp, plus
// the transport's received packets that stay queued when a session is closed with data
// still unread (p2p/transport.cpp frees the queued inbound packets nowhere). The viewer
// side of these tests closes sessions that are still streaming, which shows it. Remove
// the last line once the transport frees that queue.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

extern "C" const char* __lsan_default_suppressions() {
    return "leak:_dl_init\n"
           "leak:libfontconfig.so\n"
           "leak:libx265.so\n"
           "leak:enet_packet_create\n";
}
#endif
