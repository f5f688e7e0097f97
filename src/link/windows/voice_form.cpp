#include "link/windows/voice_form.h"

#include <QLabel>
#include <QVBoxLayout>

TVoiceForm::TVoiceForm(QWidget* parent) : QWidget(parent, Qt::Window), Label1(new QLabel(this))
{
    setWindowTitle("Voice Mode");
    Label1->setText("Voice Mode");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
}
