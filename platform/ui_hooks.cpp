#include "platform/ui_hooks.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::mutex& HookMutex() {
  static std::mutex mutex;
  return mutex;
}

UiHooks& Installed() {
  static UiHooks hooks;
  return hooks;
}

void DefaultShowMessage(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kApplicationName, text.c_str());
}

}  // namespace

UiHooks InstallUiHooks(UiHooks hooks) {
  std::lock_guard<std::mutex> lock(HookMutex());
  UiHooks previous = Installed();
  Installed() = std::move(hooks);
  return previous;
}

void ShowMessage(const std::string& text) {
  std::function<void(const std::string&)> show;
  {
    std::lock_guard<std::mutex> lock(HookMutex());
    show = Installed().showMessage;
  }
  if (show) show(text);
  else DefaultShowMessage(text);
}

bool AskOpenFileName(const std::string& filter, const std::string& defaultExtension,
                     std::string& chosenPath) {
  std::function<bool(const std::string&, const std::string&, std::string&)> ask;
  {
    std::lock_guard<std::mutex> lock(HookMutex());
    ask = Installed().askOpenFile;
  }
  return ask ? ask(filter, defaultExtension, chosenPath) : false;
}

std::string TranslateText(const std::string& englishText) {
  std::function<std::string(const std::string&)> translate;
  {
    std::lock_guard<std::mutex> lock(HookMutex());
    translate = Installed().translate;
  }
  return translate ? translate(englishText) : englishText;
}

std::string TranslateAndFill(const std::string& englishTemplate, std::initializer_list<std::string> values) {
  return FillTemplate(TranslateText(englishTemplate), std::vector<std::string>(values));
}

std::string TranslateAndFill(const std::string& englishTemplate, const std::vector<std::string>& values) {
  return FillTemplate(TranslateText(englishTemplate), values);
}

std::string SystemErrorText(int error) { return TranslateText(std::strerror(error)); }

std::string FillTemplate(const std::string& textTemplate, const std::vector<std::string>& values) {
  std::string text;
  auto value = values.begin();
  // The templates hold only %s, %u, %d and %%; the values are already text,
  // so nothing a translation holds is ever read as a printf directive.
  for (size_t at = 0; at < textTemplate.size(); ++at) {
    const char next = at + 1 < textTemplate.size() ? textTemplate[at + 1] : '\0';
    if (textTemplate[at] == '%' && next == '%') {
      text += '%';
      ++at;
    } else if (textTemplate[at] == '%' && (next == 's' || next == 'u' || next == 'd') && value != values.end()) {
      text += *value++;
      ++at;
    } else {
      text += textTemplate[at];
    }
  }
  return text;
}
