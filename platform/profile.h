// Application profile: persistent settings grouped in sections of keys, kept in
// an INI file at $XDG_CONFIG_HOME/CAPTURE/VANTREL.ini ($HOME/.config when
// XDG_CONFIG_HOME is unset or relative). Section and key names compare
// case-insensitively, as the registry does.
//
// A file edited by hand reads as written: CR LF line ends, blanks around
// names and "=", comment lines (";" or "#"). A section that appears twice is
// one section (the first value of a key counts). Comments and lines before
// the first section are kept when the file is rewritten, but never read;
// blank lines are not kept.
#pragma once

#include <string>

// Full path of the profile file, resolved from the environment at each call.
std::string GetProfilePath();

// The value of section/key as an integer, or defaultValue when the key is
// missing or its value is not a decimal integer that fits in 32 bits.
int GetProfileInt(const std::string& section, const std::string& key, int defaultValue);

// The same, and defaultValue too for a value outside minimum..maximum: a
// damaged or hand-edited value reads as the key's default.
int GetProfileIntInRange(const std::string& section, const std::string& key, int defaultValue, int minimum,
                         int maximum);

// The value of section/key, or defaultValue when the key is missing.
std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue = {});

// Store a value. The file is rewritten through a temporary file and a rename,
// under an exclusive lock, so a crash never leaves it half-written and two
// processes writing at once keep each other's keys. Returns false when the
// file could not be written (the old contents then stay as they were).
bool WriteProfileInt(const std::string& section, const std::string& key, int value);
bool WriteProfileString(const std::string& section, const std::string& key, const std::string& value);
