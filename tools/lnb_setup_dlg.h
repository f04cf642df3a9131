// "LNB Setup" (dialog 156): edits the LNB settings the satellite tuning uses.
// It shows section LNB1 and on OK writes the same values to LNB1 to LNB4.
// The LO edits are enabled for the Custom type only; Normal and Universal
// show (and store) their fixed LO pairs.
#pragma once

#include <cstdint>

#include "ui/resource_dialog.h"

class CLnbSetupDlg : public CResourceDialog {
  Q_OBJECT

public:
  static constexpr int kResourceId = 156;
  static constexpr int kPowerList = 1040;
  static constexpr int kTypeList = 1118;
  static constexpr int kLo1Edit = 1188;
  static constexpr int kLo2Edit = 1190;
  static constexpr int kToneList = 1126;
  static constexpr int kToneBurstList = 1132;
  static constexpr int kDataBurstList = 1136;
  static constexpr int kDiseqcList = 1069;

  // Owner: the main frame.
  explicit CLnbSetupDlg(QWidget* parent);

  // The type list's selection confirmed by the user.
  void OnTypeChosen();
  // Writes the four sections, then closes when both LO edits are accepted.
  void accept() override;
  // Cancel and the close box: end with 2, nothing written.
  void reject() override { EndDialog(kIdCancel); }

  uint32_t Lo1() const { return lo1_; }
  uint32_t Lo2() const { return lo2_; }

protected:
  void OnInitDialog() override;

private:
  // The LO edits into the members; false at a refused edit (prompt shown).
  bool ReadLoEdits();
  void ShowLoEdits();
  void EnableLoEdits(int lnbType);
  int ListIndex(int id) const;

  int lnbNumber_ = 1;
  uint32_t lo1_ = 0;
  uint32_t lo2_ = 0;
};
