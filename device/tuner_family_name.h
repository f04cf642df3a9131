// The name a box family goes by, for the command line and the window.
#pragma once

// The family of `model` by the name of its settings dialog: "DST", "DCT",
// "DTT"; "none" for a model of no family (the window says "unsupported"
// there, translated).
const char* TunerFamilyShortName(int model);
