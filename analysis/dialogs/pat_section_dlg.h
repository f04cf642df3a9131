// "Program Associate Section" (dialog 131): the PAT report and the hex text
// of PAT section 0.
#pragma once

#include "ui/resource_dialog.h"

class CPatSectionDlg : public CResourceDialog {
  Q_OBJECT

public:
  static constexpr int kResourceId = 131;
  // The section edit is widened to show 16 bytes a line in its font.
  explicit CPatSectionDlg(QWidget* parent);

protected:
  void OnInitDialog() override;
};
