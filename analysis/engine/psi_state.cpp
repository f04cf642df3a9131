// Process-wide state of the PSI stages; ClearAnalysisState and ResetAnalysis
// clear it together with the file state.
#include "analysis/engine/psi.h"

ProgramRecord ProgramTable[kMaxPrograms];
int nProgramCount = 0;
uint8_t SectionBuffer[kSectionBufferSize];
std::vector<PatSectionText>* PatSectionList = nullptr;
int bPatDone = 0;
int bPmtDone = 0;
int bSdtDone = 0;
int bSdtExists = 0;
int bProgramTableFull = 0;

void DestroyPatSectionList() {
  delete PatSectionList;
  PatSectionList = nullptr;
}
