// The program's entry: the one window, then the event loop.
#include "form1.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    Form1 form;
    form.show();
    return QApplication::exec();
}
