#pragma once
// Small modal dialogs the window's controls share.

#include <QString>

class QWidget;

// Asks a question with OK and Cancel; true when the user chose OK.
bool ConfirmOkCancel(QWidget* parent, const QString& text);

// The answer to "Save changes to the current record?".
enum TSaveAnswer { saSave, saDiscard, saCancel };
TSaveAnswer AskSaveChanges(QWidget* parent);
