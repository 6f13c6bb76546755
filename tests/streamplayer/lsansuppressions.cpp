// GStreamer and GLib keep their type system, plugin registry and thread pools until the process
// ends; LeakSanitizer would report them as leaks of every test that starts GStreamer.
// Exported, so that the sanitizer runtime (a shared library) finds it in the executable.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libglib-2.0.so\n"
           "leak:libgobject-2.0.so\n"
           "leak:libgstreamer-1.0.so\n"
           "leak:libgio-2.0.so\n";
}
