// The application's resources (ui/res, compiled in under ":/res"): string
// table, menu, toolbar, icons and dialog templates, each text in English and
// Simplified Chinese under the same ids. The language follows the system
// locale; English is the fallback.
#pragma once

#include <QFont>
#include <QPixmap>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

enum class ResLanguage { English, SimplifiedChinese };

// Chinese with simplified script (or a mainland/Singapore locale) picks the
// Chinese resources; everything else English.
ResLanguage LanguageForLocaleName(const QString& localeName);
// The language in use: chosen from the system locale on first use unless set.
ResLanguage CurrentResourceLanguage();
// For the test suite and the screenshot tool.
void SetResourceLanguage(ResLanguage language);
// Key of the language in the resource files: "en" or "zh_CN".
const char* ResourceLanguageKey(ResLanguage language);

// Loads Qt's own translations (standard buttons, file dialog) for the
// resource language, when they are installed; English needs none.
void InstallFrameworkTranslations();

// String table entry, or an empty string when the id is not defined.
QString LoadResString(int id);
// One of the string table's English texts (a whole message or a printf
// template) in the current language. Line ends and blanks around the text
// stay as they are; a text the table does not hold comes back unchanged.
QString TranslateResourceText(const QString& englishText);
// A command prompt split at the line break: status-bar text and tooltip.
QString PromptStatusText(int commandId);
QString PromptTooltip(int commandId);

// The font every dialog uses; dialog units are measured with it.
QFont GetDialogFont();

// Images compiled in from ui/res (an icon id such as 128).
QPixmap LoadIconResource(int id);

struct MenuItemResource {
  int id = 0;
  bool separator = false;
  QString text;
};
struct MenuPopupResource {
  QString text;
  std::vector<MenuItemResource> items;
};
std::vector<MenuPopupResource> LoadMenuResource(int id);

struct ToolbarButtonResource {
  int id = 0;
  bool separator = false;
  int textString = 0;  // string id of the button text
};
struct ToolbarResource {
  QSize imageSize;
  QSize buttonSize;
  QPixmap bitmap;  // images side by side, one per button that is not a separator
  std::vector<ToolbarButtonResource> buttons;
};
std::optional<ToolbarResource> LoadToolbarResource(int id);

struct ControlResource {
  int id = -1;             // -1: a static without an id
  QString kind;            // static, icon, group, button, edit, combo, list, radio, check, progress
  QRect rect;              // dialog units
  QStringList style;       // default, multiline, wantreturn (Enter breaks the line instead of
                           // pressing the default button), vscroll, hscroll, noborder, number, disabled,
                           // hidden, dropdown, dropdownlist, center, right, notify, fixedfont,
                           // group (starts a radio group)
  QString text;
  QStringList items;       // combo and list entries
  int icon = 0;
  bool HasStyle(const char* name) const { return style.contains(QLatin1String(name)); }
};
struct DialogResource {
  int id = 0;
  QString title;
  QSize size;              // client area, dialog units
  QStringList style;       // popup (no title bar), border
  std::vector<ControlResource> controls;
  bool HasStyle(const char* name) const { return style.contains(QLatin1String(name)); }
};
std::optional<DialogResource> LoadDialogResource(int id);
// Ids of every dialog template in ui/res/dialogs.
std::vector<int> ListDialogResources();

// Every text of the resources that some language lacks, one description per
// gap ("dialog 130 control 1001: zh_CN"); empty when all languages are complete.
QStringList FindResourceLanguageGaps();
