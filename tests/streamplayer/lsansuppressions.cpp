// GStreamer and GLib keep their type system, plugin registry and thread pools until the process
// ends; LeakSanitizer would report them as leaks of every test that starts GStreamer.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libglib-2.0.so\n"
           "leak:libgobject-2.0.so\n"
           "leak:libgstreamer-1.0.so\n"
           "leak:libgio-2.0.so\n";
}
