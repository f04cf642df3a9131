#include "ui/resources.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QLocale>
#include <QMutex>
#include <QScreen>
#include <QTranslator>
#include <algorithm>
#include <atomic>

#include "ui/dialog_units.h"

namespace {

constexpr int kLanguageUnset = -1;
std::atomic<int> gLanguage{kLanguageUnset};

const char* const kAllLanguages[] = {"en", "zh_CN"};

QJsonObject ReadJsonResource(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QJsonDocument::fromJson(file.readAll()).object();
}

// Resources are read once; the files are compiled in and never change.
const QJsonObject& StringsFile() {
  static const QJsonObject strings = ReadJsonResource(QStringLiteral(":/res/strings.json"));
  return strings;
}

// The text of a {"en": ..., "zh_CN": ...} value in the current language,
// English when the language lacks it.
QJsonValue Localized(const QJsonValue& value) {
  const QJsonObject texts = value.toObject();
  const QJsonValue local = texts.value(QLatin1String(ResourceLanguageKey(CurrentResourceLanguage())));
  return local.isUndefined() ? texts.value(QLatin1String("en")) : local;
}

QString LocalizedText(const QJsonValue& value) { return Localized(value).toString(); }

QRect RectFrom(const QJsonValue& value) {
  const QJsonArray r = value.toArray();
  if (r.size() != 4) return {};
  return QRect(r[0].toInt(), r[1].toInt(), r[2].toInt(), r[3].toInt());
}

QSize SizeFrom(const QJsonValue& value) {
  const QJsonArray r = value.toArray();
  if (r.size() != 2) return {};
  return QSize(r[0].toInt(), r[1].toInt());
}

QStringList StringListFrom(const QJsonValue& value) {
  QStringList list;
  for (const QJsonValue& item : value.toArray()) list.append(item.toString());
  return list;
}

// Gap check of one localized value: every language has it, and has text
// wherever English has text.
void CheckLocalized(const QJsonValue& value, const QString& where, QStringList& gaps) {
  if (value.isUndefined()) return;
  const QJsonObject texts = value.toObject();
  const QJsonValue english = texts.value(QLatin1String("en"));
  for (const char* language : kAllLanguages) {
    const QJsonValue local = texts.value(QLatin1String(language));
    const bool missing = local.isUndefined() || local.type() != english.type() ||
                         (local.isString() && local.toString().isEmpty() && !english.toString().isEmpty()) ||
                         (local.isArray() && local.toArray().size() != english.toArray().size());
    if (missing) gaps.append(where + QStringLiteral(": ") + QLatin1String(language));
  }
}

}  // namespace

ResLanguage LanguageForLocaleName(const QString& localeName) {
  const QLocale locale(localeName);
  if (locale.language() != QLocale::Chinese) return ResLanguage::English;
  if (locale.script() == QLocale::SimplifiedHanScript) return ResLanguage::SimplifiedChinese;
  if (locale.script() == QLocale::AnyScript &&
      (locale.territory() == QLocale::China || locale.territory() == QLocale::Singapore))
    return ResLanguage::SimplifiedChinese;
  return ResLanguage::English;
}

ResLanguage CurrentResourceLanguage() {
  int language = gLanguage.load();
  if (language == kLanguageUnset) {
    language = static_cast<int>(LanguageForLocaleName(QLocale::system().name()));
    gLanguage.store(language);
  }
  return static_cast<ResLanguage>(language);
}

void SetResourceLanguage(ResLanguage language) { gLanguage.store(static_cast<int>(language)); }

const char* ResourceLanguageKey(ResLanguage language) {
  return language == ResLanguage::SimplifiedChinese ? "zh_CN" : "en";
}

void InstallFrameworkTranslations() {
  if (CurrentResourceLanguage() != ResLanguage::SimplifiedChinese || !QCoreApplication::instance()) return;
  static QTranslator* translator = nullptr;  // lives as long as the application
  if (translator) return;
  auto* loaded = new QTranslator(QCoreApplication::instance());
  if (loaded->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(loaded);
    translator = loaded;
  } else {
    delete loaded;
  }
}

QString LoadResString(int id) {
  return LocalizedText(StringsFile().value(QLatin1String("strings")).toObject().value(QString::number(id)));
}

QString TranslateResourceText(const QString& englishText) {
  const ResLanguage language = CurrentResourceLanguage();
  if (language == ResLanguage::English) return englishText;
  // English text to the local one, for the language asked for last; built
  // once per language switch (only the tests switch).
  static QMutex mutex;
  static ResLanguage builtFor = ResLanguage::English;
  static QHash<QString, QString> table;
  QMutexLocker lock(&mutex);
  if (table.isEmpty() || builtFor != language) {
    table.clear();
    builtFor = language;
    const QJsonObject strings = StringsFile().value(QLatin1String("strings")).toObject();
    for (auto it = strings.begin(); it != strings.end(); ++it) {
      const QJsonObject texts = it.value().toObject();
      const QString english = texts.value(QLatin1String("en")).toString();
      const QString local = texts.value(QLatin1String(ResourceLanguageKey(language))).toString();
      if (!english.trimmed().isEmpty() && !local.isEmpty() && !table.contains(english)) table.insert(english, local);
    }
  }
  if (const auto exact = table.constFind(englishText); exact != table.constEnd()) return exact.value();
  // Messages often carry their line ends ("...\r\n"): translate the core.
  qsizetype begin = 0;
  qsizetype end = englishText.size();
  while (begin < end && englishText.at(begin).isSpace()) ++begin;
  while (end > begin && englishText.at(end - 1).isSpace()) --end;
  if (begin == 0 && end == englishText.size()) return englishText;
  const auto core = table.constFind(englishText.mid(begin, end - begin));
  if (core == table.constEnd()) return englishText;
  return englishText.left(begin) + core.value() + englishText.mid(end);
}

QString PromptStatusText(int commandId) { return LoadResString(commandId).section(QLatin1Char('\n'), 0, 0); }

QString PromptTooltip(int commandId) { return LoadResString(commandId).section(QLatin1Char('\n'), 1, 1); }

QFont GetDialogFont() {
  const QJsonObject spec = Localized(StringsFile().value(QLatin1String("dialogFont"))).toObject();
  QFont font;
  const QStringList families = StringListFrom(spec.value(QLatin1String("families")));
  if (!families.isEmpty()) font.setFamilies(families);
  // Points to pixels as Windows sizes dialog fonts: rounded at the screen's
  // logical resolution.
  const int points = spec.value(QLatin1String("points")).toInt(8);
  int dpi = 96;
  if (const QScreen* screen = QGuiApplication::primaryScreen()) dpi = qRound(screen->logicalDotsPerInchY());
  font.setPixelSize(std::max(1, MulDiv(points, dpi, 72)));
  return font;
}

QPixmap LoadIconResource(int id) { return QPixmap(QStringLiteral(":/res/icon%1.xpm").arg(id)); }

std::vector<MenuPopupResource> LoadMenuResource(int id) {
  const QJsonObject menu = ReadJsonResource(QStringLiteral(":/res/menu.json"));
  std::vector<MenuPopupResource> popups;
  if (menu.value(QLatin1String("id")).toInt() != id) return popups;
  for (const QJsonValue& popupValue : menu.value(QLatin1String("popups")).toArray()) {
    const QJsonObject popupObject = popupValue.toObject();
    MenuPopupResource popup;
    popup.text = LocalizedText(popupObject.value(QLatin1String("text")));
    for (const QJsonValue& itemValue : popupObject.value(QLatin1String("items")).toArray()) {
      const QJsonObject itemObject = itemValue.toObject();
      MenuItemResource item;
      item.separator = itemObject.value(QLatin1String("separator")).toBool();
      item.id = itemObject.value(QLatin1String("id")).toInt();
      item.text = LocalizedText(itemObject.value(QLatin1String("text")));
      popup.items.push_back(item);
    }
    popups.push_back(popup);
  }
  return popups;
}

std::optional<ToolbarResource> LoadToolbarResource(int id) {
  const QJsonObject toolbar = ReadJsonResource(QStringLiteral(":/res/toolbar.json"));
  if (toolbar.value(QLatin1String("id")).toInt() != id) return std::nullopt;
  ToolbarResource resource;
  resource.imageSize = SizeFrom(toolbar.value(QLatin1String("imageSize")));
  resource.buttonSize = SizeFrom(toolbar.value(QLatin1String("buttonSize")));
  resource.bitmap = QPixmap(QStringLiteral(":/res/") + toolbar.value(QLatin1String("bitmap")).toString());
  if (resource.bitmap.isNull()) return std::nullopt;
  for (const QJsonValue& value : toolbar.value(QLatin1String("buttons")).toArray()) {
    const QJsonObject object = value.toObject();
    ToolbarButtonResource button;
    button.separator = object.value(QLatin1String("separator")).toBool();
    button.id = object.value(QLatin1String("id")).toInt();
    button.textString = object.value(QLatin1String("textString")).toInt();
    resource.buttons.push_back(button);
  }
  return resource;
}

std::optional<DialogResource> LoadDialogResource(int id) {
  const QJsonObject object = ReadJsonResource(QStringLiteral(":/res/dialogs/%1.json").arg(id));
  if (object.isEmpty() || object.value(QLatin1String("id")).toInt() != id) return std::nullopt;
  DialogResource dialog;
  dialog.id = id;
  dialog.title = LocalizedText(object.value(QLatin1String("title")));
  dialog.size = SizeFrom(object.value(QLatin1String("size")));
  dialog.style = StringListFrom(object.value(QLatin1String("style")));
  for (const QJsonValue& value : object.value(QLatin1String("controls")).toArray()) {
    const QJsonObject c = value.toObject();
    ControlResource control;
    control.id = c.value(QLatin1String("id")).toInt(-1);
    control.kind = c.value(QLatin1String("kind")).toString();
    control.rect = RectFrom(c.value(QLatin1String("rect")));
    control.style = StringListFrom(c.value(QLatin1String("style")));
    control.text = LocalizedText(c.value(QLatin1String("text")));
    control.items = StringListFrom(Localized(c.value(QLatin1String("items"))));
    control.icon = c.value(QLatin1String("icon")).toInt();
    dialog.controls.push_back(control);
  }
  return dialog;
}

std::vector<int> ListDialogResources() {
  std::vector<int> ids;
  const QStringList names = QDir(QStringLiteral(":/res/dialogs")).entryList({QStringLiteral("*.json")}, QDir::Files);
  for (const QString& name : names) {
    bool ok = false;
    const int id = name.section(QLatin1Char('.'), 0, 0).toInt(&ok);
    if (ok) ids.push_back(id);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

QStringList FindResourceLanguageGaps() {
  QStringList gaps;
  const QJsonObject strings = StringsFile().value(QLatin1String("strings")).toObject();
  for (auto it = strings.begin(); it != strings.end(); ++it)
    CheckLocalized(it.value(), QStringLiteral("string ") + it.key(), gaps);
  CheckLocalized(StringsFile().value(QLatin1String("dialogFont")), QStringLiteral("dialog font"), gaps);

  const QJsonObject menu = ReadJsonResource(QStringLiteral(":/res/menu.json"));
  int popupIndex = 0;
  for (const QJsonValue& popupValue : menu.value(QLatin1String("popups")).toArray()) {
    const QJsonObject popup = popupValue.toObject();
    CheckLocalized(popup.value(QLatin1String("text")), QStringLiteral("menu popup %1").arg(popupIndex), gaps);
    for (const QJsonValue& itemValue : popup.value(QLatin1String("items")).toArray()) {
      const QJsonObject item = itemValue.toObject();
      if (!item.value(QLatin1String("separator")).toBool())
        CheckLocalized(item.value(QLatin1String("text")),
                       QStringLiteral("menu item %1").arg(item.value(QLatin1String("id")).toInt()), gaps);
    }
    ++popupIndex;
  }

  for (int id : ListDialogResources()) {
    const QJsonObject dialog = ReadJsonResource(QStringLiteral(":/res/dialogs/%1.json").arg(id));
    CheckLocalized(dialog.value(QLatin1String("title")), QStringLiteral("dialog %1 title").arg(id), gaps);
    int index = 0;
    for (const QJsonValue& value : dialog.value(QLatin1String("controls")).toArray()) {
      const QJsonObject control = value.toObject();
      const QString where = QStringLiteral("dialog %1 control %2 (#%3)")
                                .arg(id)
                                .arg(control.value(QLatin1String("id")).toInt(-1))
                                .arg(index++);
      CheckLocalized(control.value(QLatin1String("text")), where, gaps);
      CheckLocalized(control.value(QLatin1String("items")), where + QStringLiteral(" items"), gaps);
    }
  }
  return gaps;
}
