// fontconfig keeps a small allocation of its configuration until the process
// ends; every program that draws text would fail the leak check for it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
