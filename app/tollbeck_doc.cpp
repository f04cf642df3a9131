#include "app/tollbeck_doc.h"

void CTollbeckDoc::Serialize(bool /*storing*/) {}

bool CTollbeckDoc::OnNewDocument() { return true; }

bool CTollbeckDoc::OnOpenDocument(const QString& /*path*/) {
  Serialize(false);
  return true;
}
