#include "frmMain.h"
#include "ui_frmMain.h"

#include "Module1.h"
#include "programstart.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QMessageBox>

using Module1::readProfileInt;
using Module1::Section;
using Module1::settingsPath;
using Module1::writeProfileString;

frmMain::frmMain(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , ui(std::make_unique<Ui::frmMain>())
{
    ui->setupUi(this);
    // The design cannot give an editable box its initial text: setting the
    // index to -1 clears the field. So each box shows its placeholder,
    // "Please Choose", as the text of its field until an item is chosen.
    // A text wider than its field shows from its start.
    for (QComboBox *box : {ui->combographiccard, ui->combocolourdepth, ui->comboHelp, ui->comboMode}) {
        box->setEditText(box->placeholderText());
        box->lineEdit()->setCursorPosition(0);
    }

    connect(ui->Command2, &QPushButton::clicked, this, &frmMain::Command2_Click);
    connect(ui->Command3, &QPushButton::clicked, this, &frmMain::Command3_Click);
    connect(ui->Command4, &QPushButton::clicked, this, &frmMain::Command4_Click);

    Form_Load();
}

frmMain::~frmMain() = default;

// Fills the controls from Setup.ini. A stored value that a box cannot show
// leaves that row unchosen and is reported once, so that the user can still
// open the window and repair it with Apply; the file is not changed here.
void frmMain::Form_Load()
{
    QStringList rejected;

    const int card = readProfileInt(Section, QStringLiteral("UseCard"), 1, settingsPath());
    if (card >= 1 && card <= 5)
        ui->combographiccard->setCurrentIndex(card - 1);
    else if (card != 0)
        rejected << tr("UseCard=%1 (accepted: 1 to 5, or 0 for none)").arg(card);

    const int depth = readProfileInt(Section, QStringLiteral("UseDepth"), 16, settingsPath());
    if (depth == 8)
        ui->combocolourdepth->setCurrentIndex(0);
    if (depth == 16)
        ui->combocolourdepth->setCurrentIndex(1);
    if (depth == 24)
        ui->combocolourdepth->setCurrentIndex(2);
    if (depth == 32)
        ui->combocolourdepth->setCurrentIndex(3);

    const int syncRate = readProfileInt(Section, QStringLiteral("SyncRate"), 0, settingsPath());
    ui->txtSyncRate->setText(QString::number(syncRate));

    const int help = readProfileInt(Section, QStringLiteral("ShowHelp"), 1, settingsPath());
    if (help == 0 || help == 1)
        ui->comboHelp->setCurrentIndex(help);
    else if (help != -1)
        rejected << tr("ShowHelp=%1 (accepted: 0 for No, 1 for Yes, or -1 for none)").arg(help);

    const int mode = readProfileInt(Section, QStringLiteral("ShowMode"), 1, settingsPath());
    if (mode == 0 || mode == 1)
        ui->comboMode->setCurrentIndex(mode);
    else if (mode != -1)
        rejected << tr("ShowMode=%1 (accepted: 0 for No, 1 for Yes, or -1 for none)").arg(mode);

    if (!rejected.isEmpty())
        QMessageBox::warning(this, ApplicationTitle,
                             tr("%1 holds settings that cannot be shown:\n\n%2\n\n"
                                "These rows are left unchosen. The file is unchanged "
                                "until you press Apply.")
                                 .arg(settingsPath(), rejected.join(QLatin1Char('\n'))));
}

// Apply: writes the five settings in order. Every write is attempted even
// after one fails; then a single message says what was not saved and why.
void frmMain::Command3_Click()
{
    QStringList failures;
    const auto note = [&failures](const QString &error) {
        if (!error.isEmpty())
            failures << error;
    };

    note(writeProfileString(Section, QStringLiteral("UseCard"),
                            QString::number(ui->combographiccard->currentIndex() + 1), settingsPath()));

    // No depth chosen writes 32, as the item "32" does.
    const int depth = ui->combocolourdepth->currentIndex();
    const QString depthText = depth == 0   ? QStringLiteral("8")
                            : depth == 1   ? QStringLiteral("16")
                            : depth == 2   ? QStringLiteral("24")
                                           : QStringLiteral("32");
    note(writeProfileString(Section, QStringLiteral("UseDepth"), depthText, settingsPath()));

    note(writeProfileString(Section, QStringLiteral("SyncRate"), ui->txtSyncRate->text(), settingsPath()));

    note(writeProfileString(Section, QStringLiteral("ShowHelp"),
                            QString::number(ui->comboHelp->currentIndex()), settingsPath()));

    note(writeProfileString(Section, QStringLiteral("ShowMode"),
                            QString::number(ui->comboMode->currentIndex()), settingsPath()));

    // Five writes that fail for the same reason say it once.
    failures.removeDuplicates();
    if (!failures.isEmpty())
        QMessageBox::warning(this, ApplicationTitle,
                             tr("Not every setting was saved.\n\n%1")
                                 .arg(failures.join(QLatin1Char('\n'))));
}

// Run: starts Tavorin without saving and without waiting for it. If it
// cannot start, the user is told why and the window stays as it was.
void frmMain::Command2_Click()
{
    const QString error = startProgram(QStringLiteral("Tavorin.exe"),
                                       QCoreApplication::applicationDirPath());
    if (!error.isEmpty())
        QMessageBox::warning(this, ApplicationTitle,
                             tr("Tavorin could not be started: %1.").arg(error));
}

// Ok: ends the program at once, without saving.
void frmMain::Command4_Click()
{
    close();
    QCoreApplication::quit();
}
