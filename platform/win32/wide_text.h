// UTF-8 <-> UTF-16 at the Windows API edge (inside platform/win32 only).
#pragma once

#include <string>

std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);
