#include "window/frmMain.h"
#include "ui_frmMain.h"

#include "settings/Module1.h"
#include "window/designfit.h"
#include "system/launch.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMap>
#include <QMessageBox>

#include <algorithm>
#include <cstdio>
#include <iterator>

using Module1::readProfileInt;
using Module1::Section;
using Module1::settingsPath;
using Module1::ShowHelp;
using Module1::ShowMode;
using Module1::SyncRate;
using Module1::UseCard;
using Module1::UseDepth;
using Module1::writeProfileString;

namespace {

// The colour depths of the depth box's items, in their order.
constexpr int ColourDepths[] = {8, 16, 24, 32};

// A warning over the window, and on the error output, where a terminal or
// the desktop's log keeps it. A line of the text that is indented by four
// spaces (a path, a command) is shown whole, never broken, and its text can
// be selected, so that it can be copied.
void warn(QWidget *window, const QString &text)
{
    std::fprintf(stderr, "tavorin-configurator: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    QString html;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const bool whole = line.startsWith(QLatin1String("    "));
        html += QStringLiteral("<div style=\"%1\">%2</div>")
                    .arg(whole ? QStringLiteral("white-space:pre; margin-left:16px") : QString(),
                         line.isEmpty() ? QStringLiteral("&nbsp;") : line.trimmed().toHtmlEscaped());
    }
    QMessageBox box(QMessageBox::Warning, window->windowTitle(), html, QMessageBox::Ok, window);
    box.setTextFormat(Qt::RichText);
    box.setProperty("plainText", text); // as the error output has it
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box.exec();
}

} // namespace

frmMain::frmMain(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
    , ui(std::make_unique<Ui::frmMain>())
{
    setUpInFittingFont(this, [this] { ui->setupUi(this); });
    QGuiApplication::setApplicationDisplayName(windowTitle());
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
    // So that Run, when pressed, knows what the installed Wine can run.
    launch::prepareToStart(QStringLiteral("Tavorin.exe"), Module1::applicationDirectory());
}

frmMain::~frmMain() = default;

// Fills the controls from Setup.ini. A stored value that a box cannot show
// leaves that row unchosen and is reported once, so that the user can still
// open the window and repair it with Apply; the file is not changed here.
// A file that cannot be used at all (its folder unknown, or too large) is
// reported, and the window shows the defaults. A save that was cut short
// is completed first. The reports come once the window is up, over it.
void frmMain::Form_Load()
{
    Module1::finishSave(settingsPath());
    const QString problem = Module1::settingsProblem(settingsPath());
    if (!problem.isEmpty())
        reportWhenShown(tr("The settings cannot be read: %1.\n\nThe window shows the defaults.").arg(problem));

    QStringList rejected;

    const int card = readProfileInt(Section, UseCard.key, UseCard.defaultValue, settingsPath());
    if (card >= 1 && card <= 5)
        ui->combographiccard->setCurrentIndex(card - 1);
    else if (card != 0)
        rejected << tr("UseCard=%1 (accepted: 1 to 5, or 0 for none)").arg(card);

    const int depth = readProfileInt(Section, UseDepth.key, UseDepth.defaultValue, settingsPath());
    const auto item = std::find(std::begin(ColourDepths), std::end(ColourDepths), depth);
    if (item != std::end(ColourDepths))
        ui->combocolourdepth->setCurrentIndex(int(item - std::begin(ColourDepths)));
    else
        rejected << tr("UseDepth=%1 (accepted: 8, 16, 24 or 32; with none chosen, Apply saves 32)").arg(depth);

    const int syncRate = readProfileInt(Section, SyncRate.key, SyncRate.defaultValue, settingsPath());
    ui->txtSyncRate->setText(QString::number(syncRate));

    const int help = readProfileInt(Section, ShowHelp.key, ShowHelp.defaultValue, settingsPath());
    if (help == 0 || help == 1)
        ui->comboHelp->setCurrentIndex(help);
    else if (help != -1)
        rejected << tr("ShowHelp=%1 (accepted: 0 for No, 1 for Yes, or -1 for none)").arg(help);

    const int mode = readProfileInt(Section, ShowMode.key, ShowMode.defaultValue, settingsPath());
    if (mode == 0 || mode == 1)
        ui->comboMode->setCurrentIndex(mode);
    else if (mode != -1)
        rejected << tr("ShowMode=%1 (accepted: 0 for No, 1 for Yes, or -1 for none)").arg(mode);

    if (!rejected.isEmpty())
        reportWhenShown(tr("These settings in\n    %1\ncannot be shown:\n\n%2\n\n"
                           "These rows are left unchosen. The file is unchanged until you press Apply.")
                            .arg(Module1::shown(settingsPath()), rejected.join(QLatin1Char('\n'))));
}

void frmMain::reportWhenShown(const QString &text)
{
    // Queued: it runs once the event loop does, after the window is shown.
    QMetaObject::invokeMethod(
        this, [this, text] { warn(this, text); }, Qt::QueuedConnection);
}

// Apply: writes the five settings in order. Every write is attempted even
// after one fails; then a single message says which settings were saved
// and which were not, and why. A file that cannot be read is left alone:
// the window may show the defaults in place of what it holds.
void frmMain::Command3_Click()
{
    if (const QString problem = Module1::settingsProblem(settingsPath()); !problem.isEmpty()) {
        warn(this, tr("No setting was saved: %1.").arg(problem));
        return;
    }
    const Module1::SavingTogether together;
    QStringList saved;
    QMap<QString, QStringList> notSaved; // by reason
    const auto save = [&](const QString &setting, const Module1::Setting &key, const QString &value) {
        const QString error = writeProfileString(Section, key.key, value, settingsPath());
        if (error.isEmpty())
            saved << setting;
        else
            notSaved[error] << setting;
    };

    save(tr("graphics card"), UseCard, QString::number(ui->combographiccard->currentIndex() + 1));

    // No depth chosen writes 32, as the item "32" does.
    const int depth = ui->combocolourdepth->currentIndex();
    save(tr("colour depth"), UseDepth, QString::number(depth >= 0 ? ColourDepths[depth] : ColourDepths[3]));

    save(tr("sync rate"), SyncRate, ui->txtSyncRate->text());

    save(tr("show help"), ShowHelp, QString::number(ui->comboHelp->currentIndex()));

    save(tr("show mode"), ShowMode, QString::number(ui->comboMode->currentIndex()));

    if (notSaved.isEmpty())
        return;
    QStringList lines{saved.isEmpty() ? tr("No setting was saved.")
                                      : tr("Saved: %1.").arg(saved.join(QStringLiteral(", ")))};
    for (auto reason = notSaved.cbegin(); reason != notSaved.cend(); ++reason)
        lines << tr("Not saved: %1. %2.").arg(reason.value().join(QStringLiteral(", ")), reason.key());
    warn(this, lines.join(QStringLiteral("\n\n")));
}

// Run: starts Tavorin without saving (it only completes a save that was
// cut short) and without waiting for it. If it cannot start, now or once
// Wine has tried, the user is told why and the window stays as it was.
void frmMain::Command2_Click()
{
    const auto report = [this](const QString &error) {
        warn(this, tr("Tavorin could not be started:%1%2").arg(error.startsWith('\n') ? "" : " ", error)
                       + (error.endsWith('.') ? "" : "."));
    };
    // So that Tavorin never reads a change that a cut left half made.
    Module1::finishSave(settingsPath());
    const QString error
        = launch::startProgram(QStringLiteral("Tavorin.exe"), Module1::applicationDirectory(), this, report);
    if (!error.isEmpty())
        report(error);
}

// Ok: ends the program at once, without saving.
void frmMain::Command4_Click()
{
    close();
    QCoreApplication::quit();
}
