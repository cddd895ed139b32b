#pragma once
// Keyboard and screen-reader access for every window, without touching visible captions:
// the tab order follows the layouts (the order the window reads in), a label names the
// control it stands next to (buddy and accessible name), buttons are named from their
// captions, and the main window's chief buttons get Alt shortcuts.
#include <QKeySequence>
#include <QString>

class QAbstractButton;
class QObject;
class QWidget;

// Orders the tab chain and names the controls of `window`; controls that already have an
// accessible name or a buddy keep it. Safe to call again after controls were added.
void ApplyKeyboardAccess(QWidget* window);

// Alt+letter for a button whose caption has no mnemonic: presses it when it is enabled and
// visible, and shows the keys in its tooltip.
void AddButtonShortcut(QAbstractButton* button, const QKeySequence& keys);

// Installs an application-wide filter that applies the above to each window the first
// time it is shown, with the main window's shortcuts. Owned by `parent`.
void InstallKeyboardAccess(QObject* parent);

// A caption as a screen reader should say it: no '&' mnemonic marks, no trailing colon.
QString PlainCaption(const QString& caption);
