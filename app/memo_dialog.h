#pragma once
// The memo window: a memo value shown as wrapped, multi-line text that the
// user can read at length and, unless it is read-only, change. The caller
// decides what a confirmed change does to the record.

#include <QString>

class QWidget;

// Shows text under title. Returns true when the user confirmed a changed
// text, which is then in text; false when nothing is to be stored.
bool RunMemoDialog(QWidget* parent, const QString& title, QString& text, bool readOnly);
