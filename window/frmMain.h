#pragma once

#include <QString>
#include <QWidget>

#include <memory>

namespace Ui {
class frmMain;
}

// The configurator's only window. Creating it loads Setup.ini into the
// controls; Apply writes them back, Run starts Tavorin, Ok ends the program.
// Its title, from its design, is the program's name as the user reads it:
// the title of every message too.
class frmMain : public QWidget {
    Q_OBJECT

public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

private:
    void Form_Load();
    void Command2_Click(); // Run
    void Command3_Click(); // Apply
    void Command4_Click(); // Ok

    // Shows text in a message over the window, once it is shown.
    void reportWhenShown(const QString &text);

    std::unique_ptr<Ui::frmMain> ui;
};
