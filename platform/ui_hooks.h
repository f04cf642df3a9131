// The few user-interface services that non-UI code needs. The desktop
// application, the command line and the tests each install their own.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

// Caption of every message box the system shows.
inline constexpr const char* kApplicationName = "VANTREL";

struct UiHooks {
  // Shows a message box captioned "VANTREL" with one OK button and the
  // exclamation icon, and returns when the user has dismissed it. May be
  // called from worker threads.
  std::function<void(const std::string& text)> showMessage;
  // Asks for an existing file to open. filter uses the "Name|pattern|...||"
  // form; defaultExtension is like "*.DAT". Returns false when cancelled.
  std::function<bool(const std::string& filter, const std::string& defaultExtension,
                     std::string& chosenPath)>
      askOpenFile;
  // Turns one of the system's English texts (a whole message, or a printf
  // template such as "Free space:%u(MB)") into the user's language. Texts it
  // does not know come back unchanged.
  std::function<std::string(const std::string& englishText)> translate;
};

// Replaces the installed hooks; returns the previous ones so a caller can
// restore them. Missing members fall back to the defaults (message on stderr,
// open-file request refused).
UiHooks InstallUiHooks(UiHooks hooks);

void ShowMessage(const std::string& text);
// The installed translation of an English text; the text itself without one.
// Code that formats a message translates its template first, then fills it.
std::string TranslateText(const std::string& englishText);
// A message built from parts: the template translated, then its %s, %u and
// %d filled in order with `values` (already formatted) and %% made %.
std::string TranslateAndFill(const std::string& englishTemplate, std::initializer_list<std::string> values);
std::string TranslateAndFill(const std::string& englishTemplate, const std::vector<std::string>& values);
// The C library's text for an errno value, in the user's language when the
// string table has it (it holds the causes file operations commonly meet).
std::string SystemErrorText(int error);
// The same filling without translation: the English text of a template.
std::string FillTemplate(const std::string& textTemplate, const std::vector<std::string>& values);
bool AskOpenFileName(const std::string& filter, const std::string& defaultExtension,
                     std::string& chosenPath);
