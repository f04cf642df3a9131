#include "analysis/dialogs/stream_analysis/stream_analysis_tables.h"

#include <QElapsedTimer>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/si/si_layout.h"
#include "analysis/si/si_run.h"
#include "analysis/si/si_tables.h"
#include "ui/resources.h"

namespace {

constexpr int kStepMs = 15;  // tree building per event-loop turn
constexpr int kBytesPerLine = 16;

// The engine's name of a table (the standards' abbreviation), with what it
// stands for in the user's language.
QString TableTitle(int pid, int tableId) { return TranslateResourceText(QString::fromStdString(SiTableName(pid, tableId))); }

QString Hex(int64_t value, int digits) {
  return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

// A decoded value as one line.
QString ValueText(const SiJson& j) {
  // An event's text may break lines: each break shown as a mark.
  if (j.is_string()) return QString::fromStdString(j.get<std::string>()).replace(QLatin1Char('\n'), QStringLiteral(" \u21B5 "));
  if (j.is_null()) return QStringLiteral("-");
  if (j.is_array()) return QStringLiteral("[%1]").arg(j.size());
  if (j.is_object()) {
    // A loop entry by what names it.
    if (j.contains("name") && j["name"].is_string()) return QString::fromStdString(j["name"].get<std::string>());
    for (const char* key : {"pid", "service_id", "event_id", "program_number", "transport_stream_id", "short_name"})
      if (j.contains(key)) return QStringLiteral("%1 %2").arg(QLatin1String(key), ValueText(j[key]));
    return {};
  }
  if (j.is_number_unsigned() || j.is_number_integer()) {
    const int64_t v = j.get<int64_t>();
    return v >= 10 ? QStringLiteral("%1 (%2)").arg(v).arg(Hex(v, 0)) : QString::number(v);
  }
  return QString::fromStdString(j.dump(-1, ' ', false, SiJson::error_handler_t::replace));
}

void SetRange(QTreeWidgetItem* item, const SiByteRange* range) {
  if (range) item->setData(0, SiTablesView::kRangeRole, QPoint(static_cast<int>(range->offset), static_cast<int>(range->size)));
}

// The decoded fields under `parent`, each with the bytes it came from.
void AddJson(QTreeWidgetItem* parent, const QString& label, const SiJson& j, const std::string& pointer,
             const SiSectionLayout& layout, int entry) {
  auto* item = new QTreeWidgetItem(parent);
  item->setText(0, label);
  item->setText(1, ValueText(j));
  item->setData(0, SiTablesView::kLevelRole, SiTablesView::kLevelField);
  item->setData(0, SiTablesView::kEntryRole, entry);
  SetRange(item, FindSiPart(layout, pointer));
  if (j.is_object()) {
    for (const auto& [key, value] : j.items())
      AddJson(item, QString::fromStdString(key), value, pointer + "/" + key, layout, entry);
  } else if (j.is_array()) {
    for (size_t i = 0; i < j.size(); ++i) {
      QString name = QStringLiteral("[%1]").arg(i);
      const SiJson& e = j[i];
      if (e.is_object() && e.contains("tag") && e["tag"].is_number())
        name += QStringLiteral(" tag %1").arg(Hex(e["tag"].get<int>(), 2));
      AddJson(item, name, e, pointer + "/" + std::to_string(i), layout, entry);
    }
  }
}

// The section in hex, 16 bytes a line, the bytes of [from, from + size) marked.
QString HexHtml(const std::vector<uint8_t>& bytes, int from, int size) {
  QString html = QStringLiteral("<pre style=\"margin:0\">");
  const int end = from + size;
  for (size_t line = 0; line < bytes.size(); line += kBytesPerLine) {
    html += QStringLiteral("%1  ").arg(line, 4, 16, QLatin1Char('0'));
    QString ascii;
    for (size_t i = line; i < line + kBytesPerLine; ++i) {
      if (i >= bytes.size()) {
        html += QStringLiteral("   ");
        continue;
      }
      const bool marked = static_cast<int>(i) >= from && static_cast<int>(i) < end;
      const QString byte = QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
      const QChar c = bytes[i] >= 0x20 && bytes[i] < 0x7F ? QChar(bytes[i]) : QChar('.');
      const QString ch = QString(c).toHtmlEscaped();
      if (marked) {
        html += QStringLiteral("<span style=\"background:#ffd54f\">%1</span> ").arg(byte);
        ascii += QStringLiteral("<span style=\"background:#ffd54f\">%1</span>").arg(ch);
      } else {
        html += byte + QLatin1Char(' ');
        ascii += ch;
      }
    }
    html += QStringLiteral(" ") + ascii + QLatin1Char('\n');
  }
  return html + QStringLiteral("</pre>");
}

uint32_t ContentOf(const SiSection& s) {
  // splice_info sections are told apart by their bytes, as the collector does.
  if (s.tableId != 0xFC || s.bytes.size() < 4) return 0;
  const uint8_t* c = s.bytes.data() + s.bytes.size() - 4;
  return (uint32_t{c[0]} << 24) | (uint32_t{c[1]} << 16) | (uint32_t{c[2]} << 8) | c[3];
}

}  // namespace

SiTablesView::SiTablesView(QWidget* parent) : QWidget(parent) {
  setObjectName(QString::number(kIdSaTablesPage));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 4, 0, 0);
  auto* tools = new QHBoxLayout;
  search_ = new QLineEdit(this);
  search_->setObjectName(QString::number(kIdSaTablesSearch));
  search_->setPlaceholderText(LoadResString(kStrFindInTables));
  search_->setClearButtonEnabled(true);
  auto* find = new QPushButton(LoadResString(kStrFindNext), this);
  find->setObjectName(QString::number(kIdSaTablesFindNext));
  status_ = new QLabel(this);
  status_->setObjectName(QString::number(kIdSaTablesStatus));
  tools->addWidget(search_, 2);
  tools->addWidget(find);
  tools->addWidget(status_, 3);
  layout->addLayout(tools);

  split_ = new QSplitter(Qt::Horizontal, this);
  split_->setObjectName(QString::number(kIdSaSplitTables));
  tree_ = new QTreeWidget(split_);
  tree_->setObjectName(QString::number(kIdSaTablesTree));
  tree_->setColumnCount(2);
  tree_->setHeaderLabels({LoadResString(kStrTableOrField), LoadResString(kStrValue)});
  tree_->setUniformRowHeights(true);
  tree_->setAllColumnsShowFocus(true);
  tree_->header()->setSectionResizeMode(QHeaderView::Interactive);
  tree_->setColumnWidth(0, tree_->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 44);
  hex_ = new QTextEdit(split_);
  hex_->setObjectName(QString::number(kIdSaTablesHex));
  hex_->setReadOnly(true);
  hex_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  hex_->setLineWrapMode(QTextEdit::NoWrap);
  hex_->setAcceptDrops(false);
  hex_->setPlaceholderText(LoadResString(kStrSelectNodeForBytes));
  hex_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);  // the bytes copied by keys too
  hex_->setTabChangesFocus(true);
  split_->addWidget(tree_);
  split_->addWidget(hex_);
  split_->setStretchFactor(0, 3);
  split_->setStretchFactor(1, 2);
  layout->addWidget(split_, 1);

  connect(tree_, &QTreeWidget::itemExpanded, this, &SiTablesView::FillSection);
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) { ShowBytes(item); });
  connect(tree_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
    // A field opens the packet its section came in first.
    while (item && !item->data(0, kOffsetRole).isValid()) item = item->parent();
    if (item) emit packetRequested(item->data(0, kOffsetRole).toULongLong());
  });
  auto findNext = [this] {
    const bool found = FindNext(search_->text());
    status_->setText(found ? QString() : LoadResString(kStrNotFound));
  };
  connect(find, &QPushButton::clicked, this, findNext);
  connect(search_, &QLineEdit::returnPressed, this, findNext);
  // Ctrl+F to the search from anywhere on the page (only while it is shown), F3 for the next match.
  connect(new QShortcut(QKeySequence::Find, this), &QShortcut::activated, this, [this] {
    search_->setFocus(Qt::ShortcutFocusReason);
    search_->selectAll();
  });
  connect(new QShortcut(QKeySequence::FindNext, this), &QShortcut::activated, this, findNext);
  setTabOrder(search_, find);
  setTabOrder(find, tree_);
  setTabOrder(tree_, hex_);
}

void SiTablesView::Clear() {
  tree_->clear();
  hex_->clear();
  status_->clear();
  snapshot_.reset();
  pending_.clear();
  cursor_ = 0;
  entryOf_.clear();
  entries_.clear();
  pids_.clear();
  tables_.clear();
  versions_.clear();
}

SiTablesView::SectionKey SiTablesView::KeyOf(const SiSection& s) {
  return SectionKey{s.pid, s.tableId, s.extension, s.network, s.sectionNumber, s.version, ContentOf(s)};
}

void SiTablesView::Show(std::shared_ptr<const SiSnapshot> snapshot) {
  if (!snapshot || !snapshot->collector) return;
  // Every node made so far points into the new snapshot at once (the old
  // one goes); the sections new to it are added in steps.
  snapshot_ = std::move(snapshot);
  pending_.clear();
  cursor_ = 0;
  for (const SiSection* s : snapshot_->collector->Sections()) {
    auto it = entryOf_.find(KeyOf(*s));
    if (it == entryOf_.end()) {
      pending_.push_back(s);
      continue;
    }
    Entry& e = entries_[it->second];
    e.section = s;
    if (e.seen != s->repeats.count) {
      e.seen = s->repeats.count;
      e.item->setText(1, LoadResString(kStrTimesSeen).arg(e.seen));
    }
  }
  Step();
}

void SiTablesView::Step() {
  stepQueued_ = false;
  QElapsedTimer clock;
  clock.start();
  while (cursor_ < pending_.size()) {
    Add(*pending_[cursor_++]);
    if ((cursor_ & 31) == 0 && clock.elapsed() >= kStepMs) break;
  }
  if (cursor_ < pending_.size() && !stepQueued_) {
    stepQueued_ = true;
    QTimer::singleShot(0, this, &SiTablesView::Step);
  }
}

QTreeWidgetItem* SiTablesView::NewChild(QTreeWidgetItem* parent, qlonglong sortKey, Level level) {
  auto* item = new QTreeWidgetItem;
  item->setData(0, kSortRole, sortKey);
  item->setData(0, kLevelRole, level);
  const int count = parent ? parent->childCount() : tree_->topLevelItemCount();
  int at = count;
  // Usually last: look from the end.
  while (at > 0) {
    QTreeWidgetItem* before = parent ? parent->child(at - 1) : tree_->topLevelItem(at - 1);
    if (before->data(0, kSortRole).toLongLong() <= sortKey) break;
    --at;
  }
  if (parent) parent->insertChild(at, item);
  else tree_->insertTopLevelItem(at, item);
  return item;
}

QString SiTablesView::FirstAtText(uint64_t offset) const {
  const std::optional<uint64_t> packet = packetOf_ ? packetOf_(offset) : std::nullopt;
  return packet ? LoadResString(kStrFirstAtPacket).arg(*packet) : LoadResString(kStrFoundAt).arg(offset);
}

void SiTablesView::Add(const SiSection& s) {
  QTreeWidgetItem*& pid = pids_[s.pid];
  if (!pid) {
    pid = NewChild(nullptr, s.pid, kLevelPid);
    pid->setText(0, QStringLiteral("PID %1 (%2)").arg(Hex(s.pid, 4)).arg(s.pid));
  }
  QTreeWidgetItem*& table = tables_[{s.pid, s.tableId}];
  if (!table) {
    table = NewChild(pid, s.tableId, kLevelTable);
    table->setText(0, QStringLiteral("table_id %1 %2").arg(Hex(s.tableId, 2), TableTitle(s.pid, s.tableId)));
  }
  QTreeWidgetItem*& version = versions_[{s.pid, s.tableId, s.extension, s.network, s.version}];
  if (!version) {
    // Versions of one extension in the order they came, beside each other.
    version = NewChild(table, (static_cast<qlonglong>(s.extension + 1) << 40) | static_cast<qlonglong>(s.repeats.firstOffset & 0xFFFFFFFFFFull), kLevelVersion);
    QString text = s.longForm ? LoadResString(kStrExtensionVersion).arg(Hex(s.extension, 4)).arg(s.version) : QStringLiteral("-");
    if (s.network >= 0) text += QStringLiteral(", %1").arg(Hex(s.network, s.network > 0xFFFF ? 8 : 4));
    if (!s.current) text += LoadResString(kStrNextVersion);
    version->setText(0, text);
    version->setData(0, kOffsetRole, static_cast<qulonglong>(s.repeats.firstOffset));
    version->setText(1, FirstAtText(s.repeats.firstOffset));
  } else if (s.repeats.firstOffset < version->data(0, kOffsetRole).toULongLong()) {
    version->setData(0, kOffsetRole, static_cast<qulonglong>(s.repeats.firstOffset));
    version->setText(1, FirstAtText(s.repeats.firstOffset));
  }
  QTreeWidgetItem* item = NewChild(version, s.sectionNumber, kLevelSection);
  item->setText(0, s.longForm ? LoadResString(kStrSectionOf).arg(s.sectionNumber).arg(s.lastSectionNumber)
                              : LoadResString(kStrSection));
  item->setText(1, LoadResString(kStrTimesSeen).arg(s.repeats.count));
  item->setData(0, kOffsetRole, static_cast<qulonglong>(s.repeats.firstOffset));
  item->setData(0, kEntryRole, static_cast<int>(entries_.size()));
  item->setData(0, kRangeRole, QPoint(0, static_cast<int>(s.bytes.size())));
  item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  entryOf_[KeyOf(s)] = entries_.size();
  entries_.push_back(Entry{&s, item, false, s.repeats.count});
}

void SiTablesView::FillSection(QTreeWidgetItem* item) {
  if (!item || item->data(0, kLevelRole).toInt() != kLevelSection || !snapshot_) return;
  Entry& e = entries_[static_cast<size_t>(item->data(0, kEntryRole).toInt())];
  if (e.filled) return;
  e.filled = true;
  item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
  const int entry = item->data(0, kEntryRole).toInt();
  if (e.section->bytes.empty()) {
    auto* missing = new QTreeWidgetItem(item, {LoadResString(kStrSectionNotKept)});
    missing->setData(0, kLevelRole, kLevelField);
    return;
  }
  const SiSectionLayout layout = LayoutSiSection(e.section->bytes);
  for (const SiHeaderField& f : layout.header) {
    auto* field = new QTreeWidgetItem(item);
    field->setText(0, QString::fromStdString(f.name));
    field->setText(1, f.name == "CRC_32" ? Hex(static_cast<int64_t>(f.value), 8) : ValueText(SiJson(f.value)));
    field->setData(0, kLevelRole, kLevelField);
    field->setData(0, kEntryRole, entry);
    SetRange(field, &f.range);
  }
  const SiJson decoded = DecodeSiSection(*e.section, snapshot_->report->Context());
  for (const auto& [key, value] : decoded.items())
    AddJson(item, QString::fromStdString(key), value, "/" + key, layout, entry);
}

void SiTablesView::ShowBytes(QTreeWidgetItem* item) {
  if (!item || !item->data(0, kEntryRole).isValid() || !snapshot_) {
    hex_->clear();
    return;
  }
  const Entry& e = entries_[static_cast<size_t>(item->data(0, kEntryRole).toInt())];
  const QPoint range = item->data(0, kRangeRole).toPoint();
  hex_->setHtml(HexHtml(e.section->bytes, range.x(), item->data(0, kRangeRole).isValid() ? range.y() : 0));
  // The marked bytes in view.
  QTextCursor cursor = hex_->document()->find(QStringLiteral("%1  ").arg(range.x() / kBytesPerLine * kBytesPerLine, 4, 16, QLatin1Char('0')));
  if (!cursor.isNull()) {
    cursor.clearSelection();
    hex_->setTextCursor(cursor);
    hex_->ensureCursorVisible();
  }
}

bool SiTablesView::FindNext(const QString& text) {
  if (text.isEmpty() || tree_->topLevelItemCount() == 0) return false;
  auto next = [this](QTreeWidgetItem* item) -> QTreeWidgetItem* {
    if (!item) return tree_->topLevelItem(0);
    FillSection(item);  // a section's fields are searched too
    if (item->childCount() > 0) return item->child(0);
    while (item) {
      QTreeWidgetItem* parent = item->parent();
      const int index = parent ? parent->indexOfChild(item) : tree_->indexOfTopLevelItem(item);
      const int count = parent ? parent->childCount() : tree_->topLevelItemCount();
      if (index + 1 < count) return parent ? parent->child(index + 1) : tree_->topLevelItem(index + 1);
      item = parent;
    }
    return nullptr;
  };
  auto matches = [&text](const QTreeWidgetItem* item) {
    return item->text(0).contains(text, Qt::CaseInsensitive) || item->text(1).contains(text, Qt::CaseInsensitive);
  };
  QTreeWidgetItem* start = tree_->currentItem();
  QTreeWidgetItem* item = next(start);
  bool wrapped = start == nullptr;
  while (true) {
    if (!item) {
      if (wrapped) return false;
      wrapped = true;
      item = next(nullptr);
    }
    if (item == start) return matches(start);  // round the whole tree
    if (matches(item)) {
      tree_->setCurrentItem(item);
      tree_->scrollToItem(item);
      return true;
    }
    item = next(item);
  }
}
