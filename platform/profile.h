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

// Why the profile cannot be read ("Permission denied", ...), or empty when it
// can, or does not exist yet. Such a profile reads as all defaults and is
// never rewritten: every write fails, so the sections this program did not
// touch are not lost. Programs tell the user where and why at start.
std::string ProfileReadProblem();

// The value of section/key as an integer, or defaultValue when the key is
// missing or its value is not a decimal integer that fits in 32 bits.
int ReadProfileInt(const std::string& section, const std::string& key, int defaultValue);

// The same, and defaultValue too for a value outside minimum..maximum: a
// damaged or hand-edited value reads as the key's default.
int ReadProfileIntInRange(const std::string& section, const std::string& key, int defaultValue, int minimum,
                         int maximum);

// The value of section/key, or defaultValue when the key is missing.
std::string ReadProfileText(const std::string& section, const std::string& key,
                             const std::string& defaultValue = {});

// Store a value. The file is rewritten through a temporary file and a rename,
// under an exclusive lock, so a crash never leaves it half-written and two
// processes writing at once keep each other's keys; every other section and
// key stays as it was. A profile that is a symbolic link is written through
// to the file it names; the file keeps its mode. Returns false when the file
// could not be read or written (the old contents then stay as they were).
bool WriteProfileInt(const std::string& section, const std::string& key, int value);
bool WriteProfileText(const std::string& section, const std::string& key, const std::string& value);

// Why the calling thread's last write failed, as a phrase for "...: PHRASE"
// ("it cannot be read (Permission denied), so it is left as it is"); empty
// after a write that succeeded.
std::string LastProfileWriteProblem();
