// "About Vantrel" (dialog 100).
#pragma once

#include "ui/resource_dialog.h"

class CAboutBox : public CResourceDialog {
  Q_OBJECT

public:
  static constexpr int kResourceId = 100;
  explicit CAboutBox(QWidget* parent = nullptr) : CResourceDialog(kResourceId, parent) {}
};
