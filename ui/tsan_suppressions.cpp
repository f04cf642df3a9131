// Qt is not built with ThreadSanitizer: the threads of its own pools (raster
// painting) synchronise through code TSan cannot see, so their allocations
// would show up as races. Calls made from inside Qt's libraries are ignored;
// our own threads and their synchronisation stay checked. Nor is GLib, whose
// allocator those threads share (its locks wait on a futex directly): races
// reported inside it are left out, but its calls are still watched, since
// Qt's event queue wakes through it.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Gui.so.6\ncalled_from_lib:libQt6Core.so.6\nrace:libglib-2.0.so.0\n";
}
