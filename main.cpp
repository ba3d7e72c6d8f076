#include "settings/Module1.h"
#include "system/processsetup.h"
#include "window/application.h"
#include "window/frmMain.h"

#include <csignal>
#include <cstdlib>
#include <exception>

int main(int argc, char *argv[])
{
    openStandardDescriptors();
    keepPluginsOutOf(Module1::applicationDirectory());
    if (!Application::displayFound(argc, argv))
        return EXIT_FAILURE;

    // A write beyond the file-size limit then fails with an error that Apply
    // reports, instead of killing the program.
    std::signal(SIGXFSZ, SIG_IGN);

    Application app(argc, argv);
    try {
        frmMain window;
        window.show();
        return app.exec();
    } catch (const std::exception &error) {
        Application::reportUncaughtError(QString::fromLocal8Bit(error.what()));
    }
    return EXIT_FAILURE;
}
