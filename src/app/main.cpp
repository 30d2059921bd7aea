#include "app/app_support.h"
#include "app/tavrel_application.h"
#include "app/tform1.h"

int main(int argc, char** argv) {
    tavrel::TavrelApplication app(argc, argv);
    try {
        tavrel::TForm1 Form1(tavrel::ExecutableFolder());
        Form1.show();
        return app.exec();
    } catch (...) {
        // An error that escapes start-up or the event loop ends the program after showing it.
        tavrel::ShowErrorMessage(tavrel::CurrentExceptionText());
        return 1;
    }
}
