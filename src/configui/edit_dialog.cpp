#include "configui/edit_dialog.h"

#include <QHBoxLayout>

void TEditDialog::AddButtons(QBoxLayout* layout, QPushButton*& ok, QPushButton*& cancel)
{
    auto* buttons = new QHBoxLayout;
    ok = new QPushButton("&OK", this);
    ok->setObjectName("Button1");
    ok->setDefault(true);
    cancel = new QPushButton("C&ancel", this);
    cancel->setObjectName("Button2");
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(cancel, &QPushButton::clicked, this, [this] { done(mrCancel); });
}

void TEditDialog::reject()
{
    done(mrCancel);
}
