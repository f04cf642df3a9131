// "Program Associate Section" (dialog 131): the PAT report and the hex text
// of PAT section 0.
#pragma once

#include "ui/resource_dialog.h"

class CPatSectionDlg : public CResourceDialog {
  Q_OBJECT

public:
  static constexpr int kResourceId = 131;
  explicit CPatSectionDlg(QWidget* parent) : CResourceDialog(kResourceId, parent) {}

protected:
  void OnInitDialog() override;
};
