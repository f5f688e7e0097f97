#pragma once

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// Controls of the settings dialogs, made with their component name (by which
// tests find them) and their hint; a null hint or name sets none.
namespace FormControls {

QPushButton* Button(QWidget* parent, const char* name, const char* caption, const char* hint);
// `maxLength` 0 leaves the box's own limit.
QLineEdit* Edit(QWidget* parent, const char* name, const char* hint, int maxLength = 0);
QCheckBox* Check(QWidget* parent, const char* name, const char* caption, const char* hint);
QLabel* Label(QWidget* parent, const char* name, const char* caption);

} // namespace FormControls
