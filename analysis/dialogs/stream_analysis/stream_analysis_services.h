// The Services tab of the Stream Analysis window: one row per service
// (channel number, name, provider, type, conditional access, bit rate),
// opening to its streams (PID, what each carries and in which format,
// language). Rows are updated in place as snapshots come, so that a
// selection and what is open stay. A stream made current selects its PID;
// Enter (or a double click) on it asks for its PID to be shown, Enter on a
// service opens or closes it.
#pragma once

#include <QString>
#include <QTreeWidget>
#include <map>

struct SiSnapshot;
struct SiService;
struct SiStream;

class SiServicesView : public QTreeWidget {
  Q_OBJECT

public:
  enum Column { kColNumber, kColName, kColProvider, kColType, kColCa, kColBitrate, kColumnCount };
  static constexpr int kPidRole = Qt::UserRole + 1;  // on stream rows: the stream's PID

  explicit SiServicesView(QWidget* parent = nullptr);
  void Show(const SiSnapshot& snapshot);
  void Clear();

  // Texts of a row, as the tab shows them (the tests compare them with the engine's).
  static QString ServiceNumber(const SiService& service);
  static QString ServiceType(int serviceType, bool atsc);
  static QString StreamKind(const std::string& kind);
  static QString StreamFormat(const SiStream& stream);

signals:
  void pidSelected(int pid);
  void pidActivated(int pid);

protected:
  void keyPressEvent(QKeyEvent* event) override;

private:
  std::map<int, QTreeWidgetItem*> rows_;  // by program_number
};
