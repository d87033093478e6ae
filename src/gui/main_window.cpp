#include "gui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <vector>

#include "core/error_log.h"
#include "gui/about_dialog.h"
#include "gui/console_server.h"
#include "gui/device_monitor.h"
#include "gui/language.h"
#include "gui/login_dialog.h"
#include "gui/message_box.h"
#include "gui/progress_status_bar.h"
#include "gui/qt_message_queue.h"
#include "gui/qt_text.h"
#include "gui/radio_pictures.h"
#include "gui/recovery_dialog.h"
#include "gui/sleep_inhibitor.h"
#include "gui/wait_dialog.h"

namespace vkt::gui {

namespace {

constexpr int kSerialLength = 10;
// How long the window asks for attention when flashed.
constexpr int kFlashMs = 1000;

// Menu texts.
constexpr int kFileMenu = 160;
constexpr int kExitItem = 161;
constexpr int kSettingMenu = 163;
constexpr int kHelpMenu = 164;
constexpr int kContentsItem = 165;
constexpr int kAboutItem = 166;

struct FieldRow {
    MainWindow::Field field;
    int labelId;
};

constexpr FieldRow kFields[] = {
    {MainWindow::Field::RadioType, str::kRadioTypeLabel},
    {MainWindow::Field::RegionalCode, str::kRegionalCodeLabel},
    {MainWindow::Field::Model, str::kModelLabel},
    {MainWindow::Field::SerialNumber, str::kSerialLabel},
    {MainWindow::Field::Firmware, str::kFirmwareLabel},
    {MainWindow::Field::Codeplug, str::kCodeplugLabel},
};

}  // namespace

MainWindow::MainWindow(Application& app, QtMessageQueue& queue, ConsoleServer* console,
                       QWidget* parent)
    : QMainWindow(parent),
      app_(app),
      queue_(queue),
      console_(console),
      inhibitor_(std::make_unique<SleepInhibitor>()) {
    setWindowTitle(toQString(app_.title()));
    setWindowIcon(QIcon(QPixmap::fromImage(drawRadioPicture(RadioPicture::Standard))));
    buildControls();
    buildMenu();
    buildPictureMap();
    statusBar_->setHelpText(loadQString(str::kHelpHint));
    qApp->installEventFilter(this);
    controller_ = std::make_unique<MainController>(app_, *this, console_);
    personality_->setChecked(true);
    controller_->setKeepPersonality(true);
    controller_->open();
    if (console_) {
        console_->setController(controller_.get());
        console_->setRaiseHandler([this] { bringToFront(); });
    }
    deviceMonitor_ = new DeviceRemovalMonitor(this);
    connect(deviceMonitor_, &DeviceRemovalMonitor::deviceRemoved, this,
            [this] { controller_->onDeviceRemoved(); });
}

MainWindow::~MainWindow() {
    if (console_) {
        console_->setController(nullptr);
        console_->setRaiseHandler({});
    }
    qApp->removeEventFilter(this);
    if (busyCursor_)
        QApplication::restoreOverrideCursor();
    controller_.reset();
}

void MainWindow::buildControls() {
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);

    auto* info = new QGroupBox(loadQString(str::kInfoGroup), central);
    auto* infoRow = new QHBoxLayout(info);
    picture_ = new QLabel(info);
    picture_->setFixedSize(drawRadioPicture(RadioPicture::Standard).size());
    picture_->setAlignment(Qt::AlignCenter);
    infoRow->addWidget(picture_, 0, Qt::AlignTop);
    auto* grid = new QGridLayout;
    int row = 0;
    for (const FieldRow& entry : kFields) {
        auto* label = new QLabel(loadQString(entry.labelId) + QLatin1Char(':'), info);
        auto* edit = new QLineEdit(info);
        edit->setReadOnly(true);
        edit->setMinimumWidth(200);
        label->setBuddy(edit);
        grid->addWidget(label, row, 0);
        grid->addWidget(edit, row, 1);
        labels_[entry.field] = label;
        fields_[entry.field] = edit;
        ++row;
    }
    timeLabel_ = new QLabel(loadQString(str::kTimeLabelEmpty), info);
    timeLabel_->setVisible(false);
    getInfo_ = new QPushButton(loadQString(str::kGetInfoButton), info);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(timeLabel_);
    buttonRow->addStretch(1);
    buttonRow->addWidget(getInfo_);
    grid->addLayout(buttonRow, row, 0, 1, 2);
    grid->setRowStretch(row + 1, 1);
    infoRow->addLayout(grid, 1);
    column->addWidget(info);

    auto* updateGroup = new QGroupBox(loadQString(str::kUpdateButton), central);
    auto* updateRow = new QHBoxLayout(updateGroup);
    personality_ = new QCheckBox(loadQString(str::kPersonalityCheck), updateGroup);
    update_ = new QPushButton(loadQString(str::kUpdateButton), updateGroup);
    verify_ = new QCheckBox(loadQString(str::kVerifyCheck), updateGroup);
    updateRow->addWidget(personality_);
    updateRow->addWidget(verify_);
    updateRow->addStretch(1);
    updateRow->addWidget(update_);
    column->addWidget(updateGroup);

    serialGroup_ = new QGroupBox(loadQString(str::kSerialLabel), central);
    auto* serialRow = new QHBoxLayout(serialGroup_);
    auto* serialLabel = new QLabel(loadQString(str::kSerialLabel), serialGroup_);
    serialEntry_ = new QLineEdit(serialGroup_);
    serialEntry_->setMaxLength(kSerialLength);
    serialLabel->setBuddy(serialEntry_);
    serialButton_ = new QPushButton(loadQString(str::kUpdateSerialButton), serialGroup_);
    serialRow->addWidget(serialLabel);
    serialRow->addWidget(serialEntry_, 1);
    serialRow->addWidget(serialButton_);
    serialGroup_->setVisible(false);
    column->addWidget(serialGroup_);
    column->addStretch(1);
    setCentralWidget(central);

    statusBar_ = new ProgressStatusBar(this);
    setStatusBar(nullptr);
    column->addWidget(statusBar_);
    column->setContentsMargins(8, 8, 8, 0);

    for (QWidget* w : {static_cast<QWidget*>(getInfo_), static_cast<QWidget*>(update_),
                       static_cast<QWidget*>(personality_), static_cast<QWidget*>(verify_)})
        w->setEnabled(false);

    connect(getInfo_, &QPushButton::clicked, this, &MainWindow::onGetRadioInfo);
    connect(update_, &QPushButton::clicked, this, [this] {
        controller_->onUpdate();
        afterOperation();
    });
    connect(personality_, &QCheckBox::toggled, this,
            [this](bool on) { controller_->setKeepPersonality(on); });
    connect(verify_, &QCheckBox::toggled, this,
            [this](bool on) { controller_->setVerifyFlash(on); });
    connect(serialButton_, &QPushButton::clicked, this, [this] {
        controller_->setSerialEntry(serialEntry_->text().toStdString());
        controller_->onUpdateSerialNumber();
    });
}

void MainWindow::buildMenu() {
    QMenu* file = menuBar()->addMenu(loadQString(kFileMenu));
    recover_ =
        file->addAction(loadQString(str::kRecoverMenuItem), this, &MainWindow::onRecoverMenu);
    connect(recover_, &QAction::hovered, this, [this] { showHint(str::kRecoverHint); });
    file->addSeparator();
    exit_ = file->addAction(loadQString(kExitItem), this, &MainWindow::onExit);
    connect(exit_, &QAction::hovered, this, [this] { showHint(str::kQuitHint); });
    // The Setting menu lists the installed languages (at least the built-in
    // English, so the menu is always there) and the dealer login when the
    // setup file holds a password.
    QMenu* setting = menuBar()->addMenu(loadQString(kSettingMenu));
    buildLanguageMenu(*setting, installedLanguages());
    if (!app_.config().loginPassword.empty()) {
        dealerLogin_ = setting->addAction(loadQString(str::kDealerLoginItem), this,
                                          &MainWindow::onDealerLogin);
        connect(dealerLogin_, &QAction::hovered, this, [this] { showHint(str::kDealerLoginHint); });
    }
    std::vector<QMenu*> menus{file, setting};
    QMenu* help = menuBar()->addMenu(loadQString(kHelpMenu));
    contents_ = help->addAction(loadQString(kContentsItem), this, &MainWindow::onContents);
    // The status bar tells the user to press F1 for help.
    contents_->setShortcut(QKeySequence(Qt::Key_F1));
    about_ = help->addAction(loadQString(kAboutItem), this, &MainWindow::onAbout);
    connect(contents_, &QAction::hovered, this, [this] { showHint(str::kDisplayHelpHint); });
    connect(about_, &QAction::hovered, this, [this] { showHint(str::kAboutHint); });
    menus.push_back(help);
    for (QMenu* menu : menus) {
        connect(menu, &QMenu::aboutToShow, this, [this] { showHint(str::kHelpHint); });
        connect(menu, &QMenu::aboutToHide, this, [this] { showHint(str::kHelpHint); });
    }
}

void MainWindow::buildLanguageMenu(QMenu& setting,
                                   const std::vector<const LanguageEntry*>& languages) {
    languageMenu_ = setting.addMenu(loadQString(str::kLanguageMenu));
    auto* group = new QActionGroup(languageMenu_);
    const LanguageEntry* current = findLanguage(app_.config().defaultLanguage);
    for (const LanguageEntry* language : languages) {
        QAction* item = languageMenu_->addAction(loadQString(language->captionId));
        item->setCheckable(true);
        group->addAction(item);
        const std::string code = language->code;
        connect(item, &QAction::triggered, this, [this, item, code] {
            markLanguage(item);
            controller_->onLanguage(code);
        });
        if (language == current)
            markLanguage(item);
    }
}

void MainWindow::markLanguage(QAction* item) {
    // The language in the setup file is checked and shown in bold.
    for (QAction* other : languageMenu_->actions()) {
        QFont font = other->font();
        font.setBold(other == item);
        other->setFont(font);
    }
    item->setChecked(true);
}

void MainWindow::showHint(int stringId) {
    statusBar_->setHelpText(loadQString(stringId));
}

void MainWindow::buildPictureMap() {
    pictureMap_.clear();
    currentPicture_.clear();
    const QColor face = palette().color(QPalette::Button);
    std::map<RadioPicture, QPixmap> prepared;
    for (RadioPicture p : {RadioPicture::Compact, RadioPicture::Keypad, RadioPicture::Standard})
        prepared[p] = QPixmap::fromImage(replaceKeyColour(drawRadioPicture(p), face));
    PackageConfig& config = app_.config();
    for (const std::string& name : config.modelNames()) {
        ModelEntry entry;
        if (config.getModel(name, entry))
            pictureMap_[name] = prepared[pictureForImage(entry.image)];
    }
}

QLineEdit* MainWindow::field(Field which) const {
    return fields_.at(which);
}

QLabel* MainWindow::fieldLabel(Field which) const {
    return labels_.at(which);
}

// ---------------------------------------------------------------------------
// FrontEnd

ButtonId MainWindow::showMessage(const std::string& text, MessageStyle style) {
    if (quitRequested_) {
        // Nobody is there to answer: the text goes to the log, a question
        // is answered No.
        ErrorLog::instance().writeLog("%s", text);
        return isYesNoStyle(style) ? ButtonId::No : ButtonId::Ok;
    }
    MessageBox box(toQString(text), style, toQString(app_.title()), this);
    return box.run();
}

void MainWindow::runWaitIndicator(const std::function<bool()>& finished) {
    WaitDialog dialog(queue_, this);
    dialog.run(finished);
}

std::optional<std::string> MainWindow::askPassword(bool wrongPassword,
                                                   const std::string& previous) {
    LoginDialog dialog(this);
    dialog.setPassword(toQString(previous));
    dialog.setWrongPassword(wrongPassword);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.password().toStdString();
}

void MainWindow::setBusy(bool busy) {
    if (busy == busyCursor_)
        return;
    busyCursor_ = busy;
    // The busy span is exactly one radio operation: the system must not
    // suspend in the middle of writing a radio.
    if (busy) {
        inhibitor_->acquire();
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
        inhibitor_->release();
    }
}

bool MainWindow::sleepInhibited() const {
    return inhibitor_->held();
}

void MainWindow::bringToFront() {
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    // The dialog the user was last working in comes up with the window.
    QWidget* target = QApplication::activeModalWidget();
    if (!target || target->window() == this)
        target = this;
    target->raise();
    target->activateWindow();
}

void MainWindow::showProgress(const ProgressView& view) {
    statusBar_->setPhaseText(toQString(phaseText(view.phase)));
    statusBar_->setPercent(view.percent);
}

void MainWindow::showControls(const ControlState& state) {
    getInfo_->setEnabled(state.getInfo);
    // Both options of the update are open whenever the update is.
    personality_->setEnabled(state.keepPersonality);
    verify_->setEnabled(state.keepPersonality);
    update_->setEnabled(state.update);
    serialEntry_->setEnabled(state.serialEntry);
    serialButton_->setEnabled(state.serialButton);
    if (serialGroup_->isHidden() == state.serialSectionShown)
        layoutSerialSection(state.serialSectionShown);
    timeLabel_->setVisible(state.timeLabelShown);
    statusBar_->setCableState(state.cableMissing);
    switch (state.focus) {
        case ControlState::Focus::GetInfo:
            getInfo_->setFocus();
            break;
        case ControlState::Focus::Update:
            update_->setFocus();
            break;
        case ControlState::Focus::RadioType:
            field(Field::RadioType)->setCursorPosition(0);
            field(Field::RadioType)->setFocus();
            break;
        case ControlState::Focus::SerialEntry:
            serialEntry_->selectAll();
            serialEntry_->setFocus();
            break;
        case ControlState::Focus::None:
            break;
    }
}

void MainWindow::showRadioInfo(const RadioDisplay& d) {
    field(Field::RadioType)->setText(toQString(d.radioType));
    field(Field::RegionalCode)->setText(toQString(d.regionalCode));
    field(Field::Model)->setText(toQString(d.model));
    field(Field::SerialNumber)->setText(toQString(d.serialNumber));
    field(Field::Firmware)->setText(toQString(d.firmwareVersion));
    field(Field::Codeplug)->setText(toQString(d.codeplugVersion));
    for (const auto& [which, edit] : fields_)
        edit->setCursorPosition(0);
    timeLabel_->setText(toQString(d.timeLabel));
    auto found = pictureMap_.find(d.radioTypeKey);
    if (found != pictureMap_.end() && found->first != currentPicture_) {
        currentPicture_ = found->first;
        picture_->setPixmap(found->second);
        picture_->repaint();
    }
}

void MainWindow::setTitle(const std::string& title) {
    setWindowTitle(toQString(title));
}

void MainWindow::flashWindow() {
    // One short alert that ends by itself, whether or not the user comes to
    // the window.
    QApplication::alert(this, kFlashMs);
}

void MainWindow::layoutSerialSection(bool shown) {
    serialGroup_->setVisible(shown);
    serialGroup_->setEnabled(shown);
    // The window takes the height its contents need, with or without the
    // section.
    centralWidget()->adjustSize();
    adjustSize();
}

// ---------------------------------------------------------------------------
// Window events and menu commands

void MainWindow::onGetRadioInfo() {
    const FlowOutcome outcome = controller_->onGetRadioInfo();
    if (outcome.pendingRun && !quitRequested_) {
        // The radio's last update broke off after its first erase: offer to
        // finish it. A run of another serial number (the radio may carry
        // the default one now) is matched by the recovery's own question.
        const JournalRun& run = *outcome.pendingRun;
        if (run.serial != controller_->display().serialNumber) {
            controller_->onRecover(0);
        } else {
            QString question = loadQString(str::kOfferRecovery);
            question.replace(QStringLiteral("%s"), toQString(journalTimeAsLocal(run.startedAt)));
            if (showMessage(question.toStdString(), MessageStyle::Question) == ButtonId::Yes)
                controller_->onRecover(run.id);
        }
    }
    afterOperation();
}

void MainWindow::onRecoverMenu() {
    if (controller_->busyState() != BusyState::Idle)
        return;
    std::vector<JournalRun> runs = controller_->pendingRuns();
    if (runs.empty()) {
        showMessage(loadString(str::kNoInterruptedUpdate), MessageStyle::Info);
        return;
    }
    RecoveryDialog dialog(std::move(runs), toQString(app_.title()), this);
    if (const std::int64_t chosen = dialog.run())
        controller_->onRecover(chosen);
    afterOperation();
}

void MainWindow::requestQuit() {
    quitRequested_ = true;
    if (controller_->busyState() == BusyState::Idle) {
        close();
        return;
    }
    const StopReply reply = controller_->onStopRequest();
    if (reply.kind == StopReply::Kind::Continuing)
        ErrorLog::instance().writeLog(
            "The radio is being written and cannot be stopped safely; the update will finish in "
            "about %d s.",
            reply.secondsLeft);
    // Whichever flow runs (a click, the console), the window closes once it
    // has ended.
    if (!quitTimer_) {
        quitTimer_ = new QTimer(this);
        connect(quitTimer_, &QTimer::timeout, this, [this] {
            if (controller_->busyState() == BusyState::Idle)
                close();
        });
        quitTimer_->start(100);
    }
}

void MainWindow::afterOperation() {
    if (quitRequested_)
        close();
}

void MainWindow::onExit() {
    if (controller_->busyState() == BusyState::Idle)
        close();
}

namespace {

std::function<bool(const QUrl&)>& helpOpener() {
    static std::function<bool(const QUrl&)> opener;
    return opener;
}

}  // namespace

void MainWindow::setHelpOpener(std::function<bool(const QUrl&)> opener) {
    helpOpener() = std::move(opener);
}

void MainWindow::onContents() {
    controller_->onHelp([](const std::string& code) {
        // A language without a page of its own gets the English one.
        QString page = languageFolder() + QLatin1Char('/') + toQString(code) + ".html";
        if (!QFileInfo(page).isFile())
            page = languageFolder() + QStringLiteral("/en_us.html");
        if (!QFileInfo(page).isFile())
            return false;
        const QUrl url = QUrl::fromLocalFile(QFileInfo(page).canonicalFilePath());
        return helpOpener() ? helpOpener()(url) : QDesktopServices::openUrl(url);
    });
}

void MainWindow::onDealerLogin() {
    // A login holds until the tool ends, so the item is not offered again.
    if (controller_->onDealerLogin())
        dealerLogin_->setEnabled(false);
}

void MainWindow::onAbout() {
    AboutDialog dialog(this);
    dialog.exec();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (controller_->busyState() != BusyState::Idle) {
        event->ignore();
        return;
    }
    controller_->close();
    event->accept();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Cancel) {
        event->accept();  // Esc never closes the window
        return;
    }
    QMainWindow::keyPressEvent(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this)
        showHint(str::kHelpHint);
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::changeEvent(QEvent* event) {
    if ((event->type() == QEvent::PaletteChange ||
         event->type() == QEvent::ApplicationPaletteChange) &&
        controller_ && !rebuildingPictures_) {
        rebuildingPictures_ = true;
        buildPictureMap();
        controller_->refreshRadioInfo();
        rebuildingPictures_ = false;
    }
    QMainWindow::changeEvent(event);
}

}  // namespace vkt::gui
