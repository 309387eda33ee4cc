#include "application.h"
#include "frmmodule.h"

int main(int argc, char* argv[])
{
    TApplication app(argc, argv);
    TfrmModule window;
    window.show();
    return app.exec();
}
