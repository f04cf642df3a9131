#include "analysis/dialogs/stream_analysis/stream_analysis_help.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "ui/resources.h"

QString CheckHelpText(HealthCheck check) {
  const int index = static_cast<int>(check);
  const int firstPriority3 = static_cast<int>(HealthCheck::Nit);
  return index < firstPriority3 ? LoadResString(kStrCheckHelpFirst + index)
                                : LoadResString(kStrCheckHelpPriority3First + index - firstPriority3);
}

QString CheckHelpAnchor(HealthCheck check) {
  return QStringLiteral("check-") + QLatin1String(GetHealthCheckInfo(check).number);
}

QString ChecksHelpHtml() {
  QString html = QStringLiteral("<h2>%1</h2>").arg(LoadResString(kStrWhatCheckMeans).toHtmlEscaped());
  for (size_t i = 0; i < kHealthCheckCount; ++i) {
    const auto check = static_cast<HealthCheck>(i);
    const QString text = CheckHelpText(check);
    // The text starts with the check's number and name: that part in bold
    // (up to the colon, which Chinese writes full width).
    const QString name = QStringLiteral("%1 %2").arg(QLatin1String(GetHealthCheckInfo(check).number),
                                                     QLatin1String(GetHealthCheckInfo(check).name));
    const int colon = text.startsWith(name) ? static_cast<int>(name.size()) : 0;
    html += QStringLiteral("<p><a name=\"%1\"></a><b>%2</b>%3</p>")
                .arg(CheckHelpAnchor(check), text.left(colon).toHtmlEscaped(), text.mid(colon).toHtmlEscaped());
  }
  return html;
}

QString GettingStartedHtml() { return LoadResString(kStrGettingStartedPage); }

void ShowGettingStarted(QWidget* parent) {
  // One page per main window, raised when asked again.
  const QString name = QString::number(kIdGettingStarted);
  if (auto* open = parent ? parent->findChild<QDialog*>(name) : nullptr) {
    open->raise();
    open->activateWindow();
    return;
  }
  auto* dialog = new QDialog(parent);
  dialog->setObjectName(name);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(LoadResString(kStrGettingStarted));
  auto* layout = new QVBoxLayout(dialog);
  auto* page = new QTextBrowser(dialog);
  page->setHtml(GettingStartedHtml());
  layout->addWidget(page);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
  buttons->button(QDialogButtonBox::Close)->setText(LoadResString(kStrClose));
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
  layout->addWidget(buttons);
  dialog->resize(640, 520);
  dialog->show();
}
