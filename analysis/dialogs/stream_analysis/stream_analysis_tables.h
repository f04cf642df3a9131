// The Tables tab of the Stream Analysis window: every section the service
// information collector kept, as a tree PID > table > extension and version
// > section > header fields, loops and descriptors, each node with its
// decoded value; the selected node's section in hex with the node's bytes
// marked. Each version is its own entry with the packet it first came in
// (activating it opens the packet inspector there). Nodes are added in
// small steps as snapshots come, and a section's fields only when it is
// opened, so that the window keeps answering on streams with thousands of
// sections. Ctrl+F goes to the search, F3 finds the next match.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

class QLabel;
class QLineEdit;
class QSplitter;
class QTextEdit;
class QTreeWidget;
class QTreeWidgetItem;
struct SiSection;
struct SiSnapshot;

class SiTablesView : public QWidget {
  Q_OBJECT

public:
  enum Level { kLevelPid, kLevelTable, kLevelVersion, kLevelSection, kLevelField };
  static constexpr int kLevelRole = Qt::UserRole + 1;
  static constexpr int kEntryRole = Qt::UserRole + 2;   // section and field nodes: the section's entry
  static constexpr int kOffsetRole = Qt::UserRole + 3;  // version and section nodes: first byte offset in the input
  static constexpr int kRangeRole = Qt::UserRole + 4;   // section and field nodes: QPoint(offset, size) in the section
  static constexpr int kSortRole = Qt::UserRole + 5;

  explicit SiTablesView(QWidget* parent = nullptr);
  void Show(std::shared_ptr<const SiSnapshot> snapshot);
  void Clear();
  // Whether every section of the last snapshot has its node.
  bool UpToDate() const { return cursor_ >= pending_.size(); }
  QTreeWidget* Tree() const { return tree_; }
  QSplitter* Splitter() const { return split_; }
  // Adds the fields of a section node (decoded on first need).
  void FillSection(QTreeWidgetItem* item);
  // Makes the next node after the current one whose texts hold `text`
  // current (from the top after the last); false when none does.
  bool FindNext(const QString& text);
  // A packet number for a byte offset of the input, when the window knows it.
  void SetPacketOf(std::function<std::optional<uint64_t>(uint64_t)> packetOf) { packetOf_ = std::move(packetOf); }

signals:
  void packetRequested(uint64_t byteOffset);

private:
  using SectionKey = std::tuple<int, int, int, int64_t, int, int, uint32_t>;
  struct Entry {
    const SiSection* section = nullptr;  // in snapshot_
    QTreeWidgetItem* item = nullptr;
    bool filled = false;
    uint64_t seen = 0;  // repeats shown
  };
  static SectionKey KeyOf(const SiSection& section);
  void Step();
  void Add(const SiSection& section);
  // A new node under `parent` (null: top level), among its siblings in the order of `sortKey`.
  QTreeWidgetItem* NewChild(QTreeWidgetItem* parent, qlonglong sortKey, Level level);
  void ShowBytes(QTreeWidgetItem* item);
  QString FirstAtText(uint64_t offset) const;

  QSplitter* split_ = nullptr;
  QTreeWidget* tree_ = nullptr;
  QLineEdit* search_ = nullptr;
  QTextEdit* hex_ = nullptr;
  QLabel* status_ = nullptr;
  std::shared_ptr<const SiSnapshot> snapshot_;
  std::vector<const SiSection*> pending_;
  size_t cursor_ = 0;
  bool stepQueued_ = false;
  std::map<SectionKey, size_t> entryOf_;
  std::vector<Entry> entries_;
  std::map<int, QTreeWidgetItem*> pids_;
  std::map<std::pair<int, int>, QTreeWidgetItem*> tables_;
  std::map<std::tuple<int, int, int, int64_t, int>, QTreeWidgetItem*> versions_;
  std::function<std::optional<uint64_t>(uint64_t)> packetOf_;
};
