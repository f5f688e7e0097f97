#include <QApplication>

#include "app/main_form.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    TMainForm form;
    form.show();
    return app.exec();
}
