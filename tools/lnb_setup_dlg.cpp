#include "tools/lnb_setup_dlg.h"

#include <QComboBox>
#include <algorithm>

#include "capture/capture_settings.h"
#include "capture/dialogs/list_selection.h"

namespace {

// The lists in the order of the LnbSettings record they fill.
constexpr int kLists[] = {CLnbSetupDlg::kPowerList,     CLnbSetupDlg::kTypeList,       CLnbSetupDlg::kToneList,
                          CLnbSetupDlg::kToneBurstList, CLnbSetupDlg::kDataBurstList, CLnbSetupDlg::kDiseqcList};

}  // namespace

CLnbSetupDlg::CLnbSetupDlg(QWidget* parent) : CResourceDialog(kResourceId, parent) {
  if (auto* type = Item<QComboBox>(kTypeList)) connect(type, &QComboBox::activated, this, &CLnbSetupDlg::OnTypeChosen);
}

void CLnbSetupDlg::OnInitDialog() {
  LnbSettings lnb{};
  if (lnbNumber_ >= 1 && lnbNumber_ <= 4) lnb = LoadLnbSettings(lnbNumber_);
  // The loading has read a value outside its list (or a negative LO) as the
  // key's default, 0.
  const int values[] = {lnb.lnbEnable, lnb.lnbType, lnb.tone22kHz, lnb.toneBurst, lnb.dataBurst, lnb.diseqc};
  for (size_t i = 0; i < std::size(kLists); ++i) SelectListIndex(Item<QComboBox>(kLists[i]), values[i]);
  lo1_ = static_cast<uint32_t>(lnb.custom1);
  lo2_ = static_cast<uint32_t>(lnb.custom2);
  FixedLnbLoPair(lnb.lnbType, &lo1_, &lo2_);
  ShowLoEdits();
  EnableLoEdits(lnb.lnbType);
}

int CLnbSetupDlg::ListIndex(int id) const { return ListSelectionIndex(Item<QComboBox>(id)); }

bool CLnbSetupDlg::ReadLoEdits() {
  return ExchangeUnsigned(kLo1Edit, lo1_, kMaxLnbLoMHz) &&
         ExchangeUnsigned(kLo2Edit, lo2_, kMaxLnbLoMHz);
}

void CLnbSetupDlg::ShowLoEdits() {
  SetDlgItemText(kLo1Edit, QString::number(lo1_));
  SetDlgItemText(kLo2Edit, QString::number(lo2_));
}

void CLnbSetupDlg::EnableLoEdits(int lnbType) {
  const bool custom = lnbType != 0 && lnbType != 1;
  for (int id : {kLo1Edit, kLo2Edit}) {
    if (QWidget* edit = GetDlgItem(id)) edit->setEnabled(custom);
  }
}

void CLnbSetupDlg::OnTypeChosen() {
  ReadLoEdits();  // a refused edit keeps its previous value, which the pair below replaces
  const int type = ListIndex(kTypeList);
  if (!FixedLnbLoPair(type, &lo1_, &lo2_)) {
    lo1_ = kCustomLoStart1;
    lo2_ = kCustomLoStart2;
  }
  ShowLoEdits();
  EnableLoEdits(type);
}

void CLnbSetupDlg::accept() {
  ReadLoEdits();
  LnbSettings lnb{};
  lnb.lnbEnable = ListIndex(kPowerList);
  lnb.lnbType = ListIndex(kTypeList);
  lnb.tone22kHz = ListIndex(kToneList);
  lnb.toneBurst = ListIndex(kToneBurstList);
  lnb.dataBurst = ListIndex(kDataBurstList);
  lnb.diseqc = ListIndex(kDiseqcList);
  lnb.custom1 = static_cast<int32_t>(lo1_);
  lnb.custom2 = static_cast<int32_t>(lo2_);
  ReportProfileWrite(StoreLnbSetup(lnb));
  // The standard OK: a refused LO edit keeps the dialog open.
  if (!ReadLoEdits()) return;
  CResourceDialog::accept();
}
