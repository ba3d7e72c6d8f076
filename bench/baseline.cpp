// Start-up baseline: the configurator's window built naively in code, as a
// first attempt without a design file would build it: the same five
// labels, four editable boxes with their items, the text box and three
// buttons at the same places, with no icon and no file access.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("Tavorin Configurator");
    window.setFixedSize(258, 177);

    const char *labels[]
        = {"Use graphic card number:", "Use colour depth:", "Use sync rate:", "Show help:", "Show mode information:"};
    const int rows[] = {8, 32, 56, 88, 112};
    for (int i = 0; i < 5; ++i)
        (new QLabel(labels[i], &window))->setGeometry(8, rows[i], 129, 17);

    const QStringList items[] = {{"1", "2", "3", "4", "5"}, {"8", "16", "24", "32"}, {}, {"No", "Yes"}, {"No", "Yes"}};
    for (int i : {0, 1, 3, 4}) {
        auto *box = new QComboBox(&window);
        box->setEditable(true);
        box->addItems(items[i]);
        box->setGeometry(144, rows[i], 105, 21);
    }
    auto *syncRate = new QLineEdit("0", &window);
    syncRate->setGeometry(144, 56, 105, 19);

    const char *captions[] = {"Run", "Apply", "Ok"};
    const int columns[] = {8, 96, 176};
    for (int i = 0; i < 3; ++i)
        (new QPushButton(captions[i], &window))->setGeometry(columns[i], 144, 73, 25);

    window.show();
    return app.exec();
}
