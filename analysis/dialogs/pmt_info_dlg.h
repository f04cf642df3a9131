// "Program Map Section" (dialog 134): the program list built from the PAT
// report's rows, and the video and audio PIDs of the selected program.
#pragma once

#include "ui/resource_dialog.h"

class CPmtInfoDlg : public CResourceDialog {
  Q_OBJECT

public:
  static constexpr int kResourceId = 134;
  explicit CPmtInfoDlg(QWidget* parent) : CResourceDialog(kResourceId, parent) {}

  // Selection change and double click of the list: details of the program.
  void OnSelectProgram();

protected:
  void OnInitDialog() override;
};
