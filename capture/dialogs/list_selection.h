// Selection index of a list control, as the dialogs store it: the entry
// index, -1 for none.
#pragma once

#include <QComboBox>

// -1 when nothing is selected, and when the text typed into an editable
// list no longer is the selected entry.
inline int ListSelectionIndex(const QComboBox* list) {
  if (!list) return -1;
  const int index = list->currentIndex();
  if (index >= 0 && list->isEditable() && list->currentText() != list->itemText(index)) return -1;
  return index;
}

// Selects entry `index`; an index outside the list selects nothing.
inline void SelectListIndex(QComboBox* list, int index) {
  if (list) list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
}
