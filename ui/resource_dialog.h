// Base of every dialog built from a template in ui/res/dialogs: the dialog
// font, the client size and each control's rectangle come from dialog units
// (ui/dialog_units.h); each control's objectName is its numeric id, so
// code and tests find it with GetDlgItem. Buttons 1 and 2 end the dialog
// through accept() and reject(), which subclasses override.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <string>

#include "ui/dialog_units.h"
#include "ui/resources.h"

// End codes of a dialog.
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// Creates the controls of a template as children of `parent` (which gets the
// dialog font first). Returns the base units the rectangles were mapped with.
DialogBaseUnits CreateDialogControls(QWidget& parent, const DialogResource& resource);

// Widens `control` to `width` pixels (when it is narrower): the controls
// wholly to its right move right by as much and a group box around it grows.
void WidenControl(QWidget& parent, QWidget* control, int width);
// Labels and lists wide enough for their texts in the font they draw with,
// labels centred on the field beside them; returns the width the parent
// needs now (at least its current width).
int FitControlsToTheirTexts(QWidget& parent);

// Control lookup and texts by id, for any widget holding controls.
QWidget* GetDlgItem(const QWidget* parent, int id);
// Texts of multi-line edits use "\r\n" line ends both ways; other controls
// take the text as it is.
void SetDlgItemText(QWidget* parent, int id, const QString& text);
QString GetDlgItemText(const QWidget* parent, int id);

// Engine texts are bytes shown one character per byte.
QString FromEngineText(const std::string& bytes);
std::string ToEngineText(const QString& text);

// Decimal number optionally surrounded by blanks or tabs, at most 31
// characters; only digits and, for signed values, a leading minus (no
// plus); unsigned values refuse a minus sign, and the value must fit.
bool ParseDialogUnsigned(const QString& text, uint32_t& value);
bool ParseDialogInt(const QString& text, int64_t minimum, int64_t maximum, int64_t& value);

class CResourceDialog : public QDialog {
  Q_OBJECT

public:
  CResourceDialog(int resourceId, QWidget* parent);

  // OnInitDialog (once), then the modal loop; returns the end code.
  int DoModal();
  // Runs OnInitDialog once; DoModal calls it, tests may call it to drive a
  // dialog without a modal loop.
  void InitDialog();
  // Ends the dialog (or the modal loop) with a code.
  void EndDialog(int code) { done(code); }

  int ResourceId() const { return resourceId_; }
  bool HasTemplate() const { return loaded_; }
  DialogBaseUnits BaseUnits() const { return baseUnits_; }

  QWidget* GetDlgItem(int id) const { return ::GetDlgItem(this, id); }
  // WidenControl for control `id`; the dialog grows when the controls pass its edge.
  void WidenItem(int id, int width);
  template <class T>
  T* Item(int id) const { return qobject_cast<T*>(GetDlgItem(id)); }
  void SetDlgItemText(int id, const QString& text) { ::SetDlgItemText(this, id, text); }
  QString GetDlgItemText(int id) const { return ::GetDlgItemText(this, id); }

  // Data exchange of a numeric edit: on a refused text shows the prompt,
  // puts the focus on the field and returns false, leaving value unchanged.
  // The prompt is the standard one (string 61715, or 61714 for signed
  // fields) for a field that takes its type's whole range; a field limited
  // to what its request can carry names that range (string 629).
  bool ExchangeUnsigned(int id, uint32_t& value, uint32_t maximum = UINT32_MAX);
  bool ExchangeInt(int id, int64_t minimum, int64_t maximum, int64_t& value);

  // After storing settings in the profile: a failed write tells the user
  // where the profile could not be written (string 636); the dialog goes on.
  void ReportProfileWrite(bool written);

protected:
  virtual void OnInitDialog() {}

private:
  int resourceId_;
  bool loaded_ = false;
  bool initialised_ = false;
  DialogBaseUnits baseUnits_;
};
