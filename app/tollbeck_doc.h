// The document of the single document template. It holds no data: the
// analysis state lives in the engine, the settings in the application.
#pragma once

#include <QObject>
#include <QString>

class CTollbeckDoc : public QObject {
  Q_OBJECT

public:
  using QObject::QObject;

  // Nothing is stored or loaded in either direction.
  virtual void Serialize(bool storing);
  virtual bool OnNewDocument();
  // The framework's open command on this document: loads nothing.
  bool OnOpenDocument(const QString& path);
};
