#include "settings/Module1.h"
#include "system/processsetup.h"
#include "window/application.h"
#include "window/frmMain.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <memory>
#include <vector>

int main(int argc, char *argv[])
{
    processsetup::openStandardDescriptors();
    processsetup::keepPluginsOutOf(Module1::applicationDirectory());
    if (!Application::displayFound(argc, argv))
        return EXIT_FAILURE;
    Application::keepScaleFactorSane();

    // A write beyond the file-size limit then fails with an error that Apply
    // reports, instead of killing the program.
    std::signal(SIGXFSZ, SIG_IGN);

    // Where the window at the toolkit's scale is larger than the screen
    // (QT_FONT_DPI=2000 makes it some five times as wide), it and the
    // application object are made anew at a scale at which it fits. Qt
    // takes the arguments it knows out of argv, so each object gets its own
    // copy. The display is held meanwhile: an X server that resets when its
    // last client leaves would otherwise be gone for the second object.
    std::vector<char *> arguments(argv, argv + argc + 1);
    int count = argc;
    auto app = std::make_unique<Application>(count, arguments.data());
    try {
        auto window = std::make_unique<frmMain>();
        if (const qreal room = Application::roomOnScreenFor(window->size()); room < 1) {
            const Application::DisplayHold held(argc, argv);
            window.reset();
            app.reset();
            Application::scaleWindowsBy(room);
            arguments.assign(argv, argv + argc + 1);
            count = argc;
            app = std::make_unique<Application>(count, arguments.data());
            window = std::make_unique<frmMain>();
        }
        window->show();
        return app->exec();
    } catch (const std::exception &error) {
        Application::reportUncaughtError(QString::fromLocal8Bit(error.what()));
    }
    return EXIT_FAILURE;
}
