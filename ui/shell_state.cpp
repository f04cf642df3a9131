#include "ui/shell_state.h"

std::atomic<int> nAnalysisKind{0};
int bBackFromLnbSetup = 0;
std::atomic<int> bDeviceRequestFailed{0};
