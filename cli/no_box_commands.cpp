// The Windows command line has the file commands only until the Win32
// device layer is in: no command takes --box there.
#include "cli/channel_options.h"

void AddBoxOption(CLI::App&) {}
