// Why a scan entry or a capture by service did not get everything, kept as
// English templates of the string table (ui/res/strings.json) with the
// values of their %s: the command line and the JSON print the English, the
// dialogs the user's language.
#pragma once

#include <string>
#include <vector>

class ScanReasons {
public:
  // `translateValues`: the values are English texts of the string table too
  // (a cause, a field name), translated with the template.
  void Add(std::string englishTemplate, std::vector<std::string> values = {}, bool translateValues = false);
  bool Empty() const { return parts_.empty(); }
  void Clear() { parts_.clear(); }
  // The parts filled and joined with "; ".
  std::string English() const;
  std::string Translated() const;

private:
  struct Part {
    std::string englishTemplate;
    std::vector<std::string> values;
    bool translateValues = false;
  };
  std::string Join(bool translated) const;
  std::vector<Part> parts_;
};
