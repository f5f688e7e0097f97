#include "link/windows/voice_form.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/jpeg_picture.h"

TVoiceForm::TVoiceForm(QWidget* parent)
    : QDialog(parent), Label1(new QLabel("Data Links have been ", this)),
      Label2(new QLabel("suspended for voice operation. ", this)),
      Label3(new QLabel("Click OK when finished... ", this)), Image1(new QLabel(this)),
      Button1(new QPushButton("&OK", this))
{
    setWindowTitle("Voice ");
    const QImage& picture = StationPicture();
    if (!picture.isNull())
        Image1->setPixmap(QPixmap::fromImage(
            picture.scaled(96, 96, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
    auto* texts = new QVBoxLayout;
    texts->addWidget(Label1);
    texts->addWidget(Label2);
    texts->addWidget(Label3);
    texts->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(Image1);
    top->addLayout(texts);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(Button1, 0, Qt::AlignHCenter);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}
