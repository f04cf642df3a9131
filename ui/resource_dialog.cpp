#include "ui/resource_dialog.h"

#include <QCheckBox>
#include <algorithm>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

#include "platform/profile.h"
#include "platform/ui_hooks.h"

namespace {

constexpr int kPromptEnterUnsigned = 61715;
constexpr int kPromptEnterInteger = 61714;
constexpr int kPromptEnterRange = 629;
constexpr int kProfileNotWrittenString = 636;

// The prompt of a refused field: the standard one for a field that takes
// its type's whole range, else one that names the range.
QString FieldPrompt(int standardPrompt, bool wholeRange, int64_t minimum, int64_t maximum) {
  if (wholeRange) return LoadResString(standardPrompt);
  return QString::asprintf(LoadResString(kPromptEnterRange).toUtf8().constData(), static_cast<long long>(minimum),
                           static_cast<long long>(maximum));
}

QFont FixedPitchFont(const QFont& dialogFont) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPixelSize(dialogFont.pixelSize() > 0 ? dialogFont.pixelSize() : 11);
  return font;
}

// Enter in a multi-line edit without "wantreturn" presses the dialog's
// default button, as in a dialog of the platform; Ctrl+Enter still breaks
// the line.
class EnterPressesDefaultButton : public QObject {
public:
  using QObject::QObject;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) || (key->modifiers() & Qt::ControlModifier))
      return false;
    const auto* edit = qobject_cast<QWidget*>(watched);
    QWidget* dialog = edit ? edit->window() : nullptr;
    if (!dialog) return false;
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
      if (button->isDefault() && button->isVisible() && button->isEnabled()) {
        button->click();
        return true;
      }
    }
    return true;  // no default button: the key does nothing, as there
  }
};

QWidget* CreateEdit(const ControlResource& control, QWidget& parent) {
  if (control.HasStyle("multiline")) {
    auto* edit = new QPlainTextEdit(&parent);
    if (!control.HasStyle("wantreturn")) edit->installEventFilter(new EnterPressesDefaultButton(edit));
    edit->setVerticalScrollBarPolicy(control.HasStyle("vscroll") ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    edit->setHorizontalScrollBarPolicy(control.HasStyle("hscroll") ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    // Without a horizontal scroll bar a multi-line edit wraps its lines.
    edit->setLineWrapMode(control.HasStyle("hscroll") ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
    if (control.HasStyle("noborder")) edit->setFrameShape(QFrame::NoFrame);
    return edit;
  }
  auto* edit = new QLineEdit(&parent);
  if (control.HasStyle("noborder")) edit->setFrame(false);
  if (control.HasStyle("number"))
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  return edit;
}

QWidget* CreateControl(const ControlResource& control, QWidget& parent) {
  if (control.kind == QLatin1String("static")) {
    auto* label = new QLabel(control.text, &parent);
    Qt::Alignment horizontal = Qt::AlignLeft;
    if (control.HasStyle("center")) horizontal = Qt::AlignHCenter;
    if (control.HasStyle("right")) horizontal = Qt::AlignRight;
    label->setAlignment(horizontal | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    return label;
  }
  if (control.kind == QLatin1String("icon")) {
    auto* label = new QLabel(&parent);
    label->setPixmap(LoadIconResource(control.icon));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
  }
  if (control.kind == QLatin1String("group")) return new QGroupBox(control.text, &parent);
  if (control.kind == QLatin1String("button")) {
    auto* button = new QPushButton(control.text, &parent);
    button->setDefault(control.HasStyle("default"));
    button->setAutoDefault(false);
    return button;
  }
  if (control.kind == QLatin1String("edit")) return CreateEdit(control, parent);
  if (control.kind == QLatin1String("combo")) {
    auto* combo = new QComboBox(&parent);
    combo->setEditable(control.HasStyle("dropdown"));
    // Text typed into an editable list selects nothing; it never becomes an entry.
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->addItems(control.items);
    return combo;
  }
  if (control.kind == QLatin1String("list")) {
    auto* list = new QListWidget(&parent);
    list->setVerticalScrollBarPolicy(control.HasStyle("vscroll") ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    list->setHorizontalScrollBarPolicy(control.HasStyle("hscroll") ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    list->addItems(control.items);
    return list;
  }
  if (control.kind == QLatin1String("radio")) return new QRadioButton(control.text, &parent);
  if (control.kind == QLatin1String("check")) return new QCheckBox(control.text, &parent);
  if (control.kind == QLatin1String("progress")) {
    auto* bar = new QProgressBar(&parent);
    bar->setTextVisible(false);
    return bar;
  }
  return nullptr;
}

int RightmostEdge(const QWidget& parent) {
  int right = 0;
  for (const QWidget* child : parent.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    right = std::max(right, child->geometry().x() + child->geometry().width());
  return right;
}

// The width a label, a radio or check button or a list needs to show its
// text whole in the font it draws with; 0 for other controls.
int WidthForText(QWidget* widget) {
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    if (label->text().isEmpty() || label->text().contains(QLatin1Char('\n'))) return 0;
    return label->fontMetrics().horizontalAdvance(label->text()) + 2;
  }
  if (qobject_cast<QRadioButton*>(widget) || qobject_cast<QCheckBox*>(widget)) return widget->sizeHint().width();
  if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    if (combo->count() == 0) return 0;
    // The hint for the longest entry; the policy goes back at once, as a list
    // that adjusts to its contents would also resize itself later.
    const QComboBox::SizeAdjustPolicy policy = combo->sizeAdjustPolicy();
    combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    const int width = combo->sizeHint().width();
    combo->setSizeAdjustPolicy(policy);
    return width;
  }
  return 0;
}

// A label beside a field on the same row is centred on the field's height,
// whatever the font: the template's 8-unit label starts at the field's top
// for some rows.
void CentreLabelsOnTheirFields(QWidget& parent) {
  const QList<QWidget*> children = parent.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (QWidget* child : children) {
    auto* label = qobject_cast<QLabel*>(child);
    if (!label || label->text().contains(QLatin1Char('\n')) || !label->pixmap().isNull()) continue;
    const QRect own = label->geometry();
    QWidget* field = nullptr;
    for (QWidget* other : children) {
      if (!qobject_cast<QLineEdit*>(other) && !qobject_cast<QComboBox*>(other)) continue;
      const QRect rect = other->geometry();
      if (rect.x() < own.x() || own.top() < rect.top() - 1 || own.top() > rect.bottom()) continue;
      if (!field || rect.x() < field->x()) field = other;
    }
    if (!field) continue;
    label->setGeometry(own.x(), field->y(), own.width(), field->height());
    label->setAlignment((label->alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter);
  }
}

}  // namespace

void WidenControl(QWidget& parent, QWidget* control, int width) {
  if (!control) return;
  const QRect old = control->geometry();
  const int delta = width - old.width();
  if (delta <= 0) return;
  const int oldRight = old.x() + old.width();
  for (QWidget* other : parent.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (other == control) continue;
    QRect rect = other->geometry();
    if (rect.x() >= oldRight) {
      rect.translate(delta, 0);  // wholly right of it: moves along
    } else if (rect.x() + rect.width() > oldRight && qobject_cast<QGroupBox*>(other) &&
               rect.intersects(old)) {
      rect.setWidth(rect.width() + delta);  // the group around it grows
    } else {
      continue;
    }
    other->setGeometry(rect);
  }
  control->setGeometry(old.x(), old.y(), width, old.height());
}

int FitControlsToTheirTexts(QWidget& parent) {
  const int margin = parent.width() - RightmostEdge(parent);
  for (QWidget* child : parent.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (child->isHidden() && child->testAttribute(Qt::WA_WState_ExplicitShowHide)) continue;
    WidenControl(parent, child, WidthForText(child));
  }
  CentreLabelsOnTheirFields(parent);
  return std::max(parent.width(), RightmostEdge(parent) + std::max(margin, 0));
}

DialogBaseUnits CreateDialogControls(QWidget& parent, const DialogResource& resource) {
  const QFont font = GetDialogFont();
  parent.setFont(font);
  const DialogBaseUnits base = GetDialogBaseUnits(font);
  if (resource.HasStyle("border")) {
    auto* border = new QFrame(&parent);
    border->setFrameStyle(QFrame::Panel | QFrame::Raised);
    border->setLineWidth(2);
    border->setGeometry(QRect(QPoint(0, 0), MapDialogSize(resource.size, base)));
  }
  for (const ControlResource& control : resource.controls) {
    QWidget* widget = CreateControl(control, parent);
    if (!widget) continue;
    widget->setObjectName(QString::number(control.id));
    widget->setProperty("controlId", control.id);
    if (control.HasStyle("fixedfont")) widget->setFont(FixedPitchFont(font));
    QRect rect = MapDialogRect(control.rect, base);
    // A combo box's rectangle includes its drop-down list; the closed box
    // is as high as the control wants to be.
    if (control.kind == QLatin1String("combo")) rect.setHeight(widget->sizeHint().height());
    widget->setGeometry(rect);
    widget->setEnabled(!control.HasStyle("disabled"));
    if (control.HasStyle("hidden")) widget->setVisible(false);
  }
  return base;
}

QWidget* GetDlgItem(const QWidget* parent, int id) {
  if (!parent) return nullptr;
  return parent->findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

void SetDlgItemText(QWidget* parent, int id, const QString& text) {
  QWidget* widget = GetDlgItem(parent, id);
  if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
    QString plain = text;
    plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    edit->setPlainText(plain);
  } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
    line->setText(text);
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(text);
  } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
    group->setTitle(text);
  } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    if (combo->isEditable()) combo->setEditText(text);
    else combo->setCurrentIndex(combo->findText(text));
  }
}

QString GetDlgItemText(const QWidget* parent, int id) {
  QWidget* widget = GetDlgItem(parent, id);
  if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
    QString text = edit->toPlainText();
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return text;
  }
  if (auto* line = qobject_cast<QLineEdit*>(widget)) return line->text();
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
  if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title();
  if (auto* combo = qobject_cast<QComboBox*>(widget)) return combo->currentText();
  return {};
}

QString FromEngineText(const std::string& bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string ToEngineText(const QString& text) { return text.toLatin1().toStdString(); }

bool ParseDialogInt(const QString& text, int64_t minimum, int64_t maximum, int64_t& value) {
  if (text.size() > 31) return false;
  static const QRegularExpression number(QStringLiteral("^[ \\t]*(-?)([0-9]+)[ \\t]*$"));
  const QRegularExpressionMatch match = number.match(text);
  if (!match.hasMatch()) return false;
  int64_t magnitude = 0;
  for (QChar digit : match.captured(2)) {
    magnitude = magnitude * 10 + (digit.unicode() - '0');
    if (magnitude > (int64_t{1} << 40)) return false;  // far beyond any 32-bit field
  }
  const int64_t result = match.captured(1) == QLatin1String("-") ? -magnitude : magnitude;
  if (result < minimum || result > maximum) return false;
  value = result;
  return true;
}

bool ParseDialogUnsigned(const QString& text, uint32_t& value) {
  if (text.contains(QLatin1Char('-'))) return false;
  int64_t parsed = 0;
  if (!ParseDialogInt(text, 0, UINT32_MAX, parsed)) return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

CResourceDialog::CResourceDialog(int resourceId, QWidget* parent)
    : QDialog(parent), resourceId_(resourceId) {
  setObjectName(QString::number(resourceId));
  const std::optional<DialogResource> resource = LoadDialogResource(resourceId);
  if (!resource) return;
  loaded_ = true;
  Qt::WindowFlags flags = Qt::Dialog;
  if (resource->HasStyle("popup")) flags |= Qt::FramelessWindowHint;
  else flags |= Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint;
  setWindowFlags(flags);
  setWindowTitle(resource->title);
  baseUnits_ = CreateDialogControls(*this, *resource);
  resize(MapDialogSize(resource->size, baseUnits_));
  setFixedSize(FitControlsToTheirTexts(*this), height());
  for (int id : {kIdOk, kIdCancel}) {
    if (auto* button = Item<QPushButton>(id)) {
      if (id == kIdOk) connect(button, &QPushButton::clicked, this, &QDialog::accept);
      else connect(button, &QPushButton::clicked, this, &QDialog::reject);
    }
  }
}

void CResourceDialog::WidenItem(int id, int width) {
  const int margin = this->width() - RightmostEdge(*this);
  WidenControl(*this, GetDlgItem(id), width);
  setFixedSize(std::max(this->width(), RightmostEdge(*this) + std::max(margin, 0)), height());
}

int CResourceDialog::DoModal() {
  InitDialog();
  return exec();
}

void CResourceDialog::InitDialog() {
  if (initialised_) return;
  initialised_ = true;
  OnInitDialog();
}

bool CResourceDialog::ExchangeUnsigned(int id, uint32_t& value, uint32_t maximum) {
  uint32_t parsed = 0;
  if (ParseDialogUnsigned(GetDlgItemText(id), parsed) && parsed <= maximum) {
    value = parsed;
    return true;
  }
  ShowMessage(FieldPrompt(kPromptEnterUnsigned, maximum == UINT32_MAX, 0, maximum).toStdString());
  if (QWidget* field = GetDlgItem(id)) field->setFocus();
  return false;
}

bool CResourceDialog::ExchangeInt(int id, int64_t minimum, int64_t maximum, int64_t& value) {
  if (ParseDialogInt(GetDlgItemText(id), minimum, maximum, value)) return true;
  ShowMessage(FieldPrompt(kPromptEnterInteger, minimum == INT32_MIN && maximum == INT32_MAX, minimum, maximum)
                  .toStdString());
  if (QWidget* field = GetDlgItem(id)) field->setFocus();
  return false;
}

void CResourceDialog::ReportProfileWrite(bool written) {
  if (written) return;
  QString text = LoadResString(kProfileNotWrittenString);
  text.replace(QLatin1String("%s"), QString::fromStdString(GetProfilePath()));
  ShowMessage(text.toStdString());
}
