// Start-up floor: an empty Qt window of the configurator's size, the least
// that any Qt Widgets program showing a window costs.
#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("Tavorin Configurator");
    window.setFixedSize(258, 177);
    window.show();
    return app.exec();
}
