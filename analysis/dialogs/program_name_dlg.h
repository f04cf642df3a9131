// "Program Name List" (dialog 135): the SDT report.
#pragma once

#include "ui/resource_dialog.h"

class CProgramNameDlg : public CResourceDialog {
  Q_OBJECT

public:
  static constexpr int kResourceId = 135;
  explicit CProgramNameDlg(QWidget* parent) : CResourceDialog(kResourceId, parent) {}

protected:
  void OnInitDialog() override;
};
