#include "analysis/dialogs/stream_analysis/stream_analysis_services.h"

#include <QHeaderView>
#include <QKeyEvent>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/si/si_run.h"
#include "ui/resources.h"

namespace {

void SetText(QTreeWidgetItem* item, int column, const QString& text) {
  if (item->text(column) != text) item->setText(column, text);
}

QString Mbits(const std::optional<double>& bps) {
  return bps ? QString::number(*bps / 1e6, 'f', 3) : QStringLiteral("-");
}

QString Hex(int value, int digits) {
  return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

}  // namespace

SiServicesView::SiServicesView(QWidget* parent) : QTreeWidget(parent) {
  setObjectName(QString::number(kIdSaServices));
  setColumnCount(kColumnCount);
  setHeaderLabels({LoadResString(kStrLcnOrPid), LoadResString(kStrNameOrCarries), LoadResString(kStrProviderOrFormat),
                   LoadResString(kStrTypeOrLanguage), LoadResString(kStrCaOrStreamType), LoadResString(kStrBitrateMbits)});
  header()->setSectionResizeMode(QHeaderView::Interactive);
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(kColProvider, QHeaderView::Stretch);
  const int digit = fontMetrics().horizontalAdvance(QLatin1Char('0'));
  for (auto [column, chars] : {std::pair{kColNumber, 22}, {kColName, 26}, {kColType, 18}, {kColCa, 18}, {kColBitrate, 10}})
    setColumnWidth(column, chars * digit);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (item && item->data(0, kPidRole).isValid()) emit pidSelected(item->data(0, kPidRole).toInt());
  });
  connect(this, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
    if (item && item->data(0, kPidRole).isValid()) emit pidActivated(item->data(0, kPidRole).toInt());
  });
}

void SiServicesView::keyPressEvent(QKeyEvent* event) {
  // A double click opens a service already; Enter does the same.
  QTreeWidgetItem* item = currentItem();
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && item && item->childCount() > 0) {
    item->setExpanded(!item->isExpanded());
    event->accept();
    return;
  }
  QTreeWidget::keyPressEvent(event);
}

void SiServicesView::Clear() {
  clear();
  rows_.clear();
}

QString SiServicesView::ServiceNumber(const SiService& s) {
  if (s.majorChannel && s.minorChannel) return QStringLiteral("%1.%2").arg(*s.majorChannel).arg(*s.minorChannel);
  if (s.logicalChannel) return QString::number(*s.logicalChannel);
  return QStringLiteral("-");
}

QString SiServicesView::ServiceType(int type, bool atsc) {
  if (type < 0) return QStringLiteral("-");
  int text = 0;
  if (atsc) text = type == 2 ? kStrServiceTv : type == 3 ? kStrServiceRadio : type == 4 ? kStrServiceData : 0;
  else if (type == 0x01 || type == 0x11 || type == 0x16 || type == 0x19 || type == 0x1F) text = kStrServiceTv;
  else if (type == 0x02 || type == 0x0A) text = kStrServiceRadio;
  else if (type == 0x0C) text = kStrServiceData;
  const QString number = Hex(type, 2);
  return text ? QStringLiteral("%1 (%2)").arg(LoadResString(text), number) : number;
}

QString SiServicesView::StreamKind(const std::string& kind) {
  static const char* const kKinds[] = {"video", "audio", "subtitles", "teletext", "captions", "splice", "data", "other"};
  for (int i = 0; i < 8; ++i)
    if (kind == kKinds[i]) return LoadResString(kStrKindVideo + i);
  return QString::fromStdString(kind);
}

QString SiServicesView::StreamFormat(const SiStream& stream) {
  const EsInfo& es = stream.es;
  if (!es.found) return LoadResString(kStrHeaderNotRead);
  // "H.264 High@4.0": the codec, then profile@level as the standards write it.
  QString codec = QString::fromStdString(es.codec);
  if (!es.profile.empty() || !es.level.empty())
    codec += QLatin1Char(' ') + QString::fromStdString(es.profile) + (es.level.empty() ? QString() : QLatin1Char('@') + QString::fromStdString(es.level));
  if (es.width > 0)
    return LoadResString(kStrVideoFormat)
        .arg(codec)
        .arg(es.width)
        .arg(es.height)
        .arg(es.interlaced ? QStringLiteral("i") : QStringLiteral("p"))
        .arg(es.frameRate > 0 ? QString::number(es.frameRate, 'g', 5) : QStringLiteral("?"));
  if (es.channels > 0 || es.sampleRate > 0)
    return LoadResString(kStrAudioFormat)
        .arg(codec, es.channelLayout.empty() ? QString::number(es.channels) : QString::fromStdString(es.channelLayout))
        .arg(es.channels)
        .arg(es.sampleRate);
  return codec;
}

void SiServicesView::Show(const SiSnapshot& snapshot) {
  const bool atsc = snapshot.report->Kind() == SiKind::Atsc;
  for (const SiService& s : snapshot.report->Services()) {
    QTreeWidgetItem*& row = rows_[s.serviceId];
    if (!row) {
      row = new QTreeWidgetItem;
      addTopLevelItem(row);  // services come in program_number order; a late one goes last
    }
    SetText(row, kColNumber, ServiceNumber(s));
    SetText(row, kColName, s.name.empty() ? QStringLiteral("(%1)").arg(s.serviceId) : QString::fromStdString(s.name));
    SetText(row, kColProvider, QString::fromStdString(s.provider));
    SetText(row, kColType, ServiceType(s.serviceType, atsc));
    QStringList ca;
    for (const auto& [system, pid] : s.caSystems) ca << Hex(system, 4);
    SetText(row, kColCa, !s.scrambled ? LoadResString(kStrFreeToAir) : ca.isEmpty() ? LoadResString(kStrScrambledNoCa) : ca.join(QStringLiteral(", ")));
    SetText(row, kColBitrate, Mbits(s.bitrateBps));
    row->setToolTip(kColName, QStringLiteral("service_id %1, PMT PID %2").arg(s.serviceId).arg(Hex(s.pmtPid, 4)));
    for (size_t i = 0; i < s.streams.size(); ++i) {
      const SiStream& st = s.streams[i];
      QTreeWidgetItem* child = static_cast<int>(i) < row->childCount() ? row->child(static_cast<int>(i)) : nullptr;
      if (!child) child = new QTreeWidgetItem(row);
      child->setData(0, kPidRole, st.pid);
      SetText(child, kColNumber, QStringLiteral("%1 (%2)").arg(Hex(st.pid, 4)).arg(st.pid));
      SetText(child, kColName, StreamKind(st.kind));
      SetText(child, kColProvider, StreamFormat(st));
      QStringList languages;
      for (const std::string& l : st.languages) languages << QString::fromStdString(l);
      SetText(child, kColType, languages.join(QStringLiteral(", ")));
      SetText(child, kColCa, QStringLiteral("stream_type %1").arg(Hex(st.streamType, 2)));
      SetText(child, kColBitrate, Mbits(st.bitrateBps));
    }
    while (row->childCount() > static_cast<int>(s.streams.size())) delete row->takeChild(row->childCount() - 1);
  }
}
