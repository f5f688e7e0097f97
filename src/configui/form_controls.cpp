#include "configui/form_controls.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace FormControls {

namespace {

template <typename T> T* Named(T* control, const char* name, const char* hint)
{
    if (name)
        control->setObjectName(name);
    if (hint)
        control->setToolTip(hint);
    return control;
}

} // namespace

QPushButton* Button(QWidget* parent, const char* name, const char* caption, const char* hint)
{
    return Named(new QPushButton(caption, parent), name, hint);
}

QLineEdit* Edit(QWidget* parent, const char* name, const char* hint, int maxLength)
{
    auto* edit = Named(new QLineEdit(parent), name, hint);
    if (maxLength > 0)
        edit->setMaxLength(maxLength);
    return edit;
}

QCheckBox* Check(QWidget* parent, const char* name, const char* caption, const char* hint)
{
    return Named(new QCheckBox(caption, parent), name, hint);
}

QLabel* Label(QWidget* parent, const char* name, const char* caption)
{
    return Named(new QLabel(caption, parent), name, nullptr);
}

} // namespace FormControls
