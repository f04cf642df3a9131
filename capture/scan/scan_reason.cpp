#include "capture/scan/scan_reason.h"

#include "platform/ui_hooks.h"

void ScanReasons::Add(std::string englishTemplate, std::vector<std::string> values, bool translateValues) {
  parts_.push_back({std::move(englishTemplate), std::move(values), translateValues});
}

std::string ScanReasons::English() const { return Join(false); }
std::string ScanReasons::Translated() const { return Join(true); }

std::string ScanReasons::Join(bool translated) const {
  std::string text;
  for (const Part& part : parts_) {
    if (!text.empty()) text += translated ? TranslateText("; ") : "; ";
    if (!translated) {
      text += FillTemplate(part.englishTemplate, part.values);
      continue;
    }
    std::vector<std::string> values = part.values;
    if (part.translateValues)
      for (std::string& value : values) value = TranslateText(value);
    text += TranslateAndFill(part.englishTemplate, values);
  }
  return text;
}
