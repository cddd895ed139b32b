#pragma once
// Every widget that carries a control identifier is named "id<number>", so that tests and
// accessibility tools find it. The name is built here and nowhere else.
#include <QObject>
#include <QString>
#include <utility>

inline QString ControlName(int id) { return QStringLiteral("id%1").arg(id); }

// Creates a widget of type T named after its identifier.
template <typename T, typename... Args>
T* MakeControl(int id, Args&&... args) {
  T* w = new T(std::forward<Args>(args)...);
  w->setObjectName(ControlName(id));
  return w;
}

// The child of parent that carries identifier id, or nullptr.
template <typename T>
T* FindControl(const QObject* parent, int id) {
  return parent->findChild<T*>(ControlName(id));
}
