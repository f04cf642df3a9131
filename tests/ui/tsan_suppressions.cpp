// Qt is not built with ThreadSanitizer: the threads of its own pools (raster
// painting) synchronise through code TSan cannot see, so their allocations
// would show up as races. Calls made from inside Qt's libraries are ignored;
// our own threads and their synchronisation stay checked.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libQt6Gui.so.6\ncalled_from_lib:libQt6Core.so.6\n"; }
