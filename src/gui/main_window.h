// The tool's main window: the radio's identity with its picture, the three
// radio operations, the dealer's serial-number section, the menu and the
// progress status bar. It only shows what the MainController hands it and
// passes the user's clicks on; every decision is the controller's.
#pragma once

#include <QMainWindow>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/front_end.h"
#include "app/main_controller.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTimer;
class QUrl;

namespace vkt::gui {

class ProgressStatusBar;
class ConsoleServer;
class DeviceRemovalMonitor;
class SleepInhibitor;
struct LanguageEntry;
class QtMessageQueue;

class MainWindow : public QMainWindow, public FrontEnd {
    Q_OBJECT
  public:
    // The application must have started on `queue`. With a console server
    // the window answers the console protocol through it.
    MainWindow(Application& app, QtMessageQueue& queue, ConsoleServer* console = nullptr,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    // FrontEnd
    ButtonId showMessage(const std::string& text, MessageStyle style) override;
    void runWaitIndicator(const std::function<bool()>& finished) override;
    std::optional<std::string> askPassword(bool wrongPassword,
                                           const std::string& previous) override;
    void setBusy(bool busy) override;
    void showProgress(const ProgressView& view) override;
    void showControls(const ControlState& state) override;
    void showRadioInfo(const RadioDisplay& display) override;
    void setTitle(const std::string& title) override;
    void flashWindow() override;
    void layoutSerialSection(bool shown) override;

    MainController& controller() { return *controller_; }

    // The controls, for tests and the screenshots.
    enum class Field { RadioType, RegionalCode, Model, SerialNumber, Firmware, Codeplug };
    QLineEdit* field(Field which) const;
    QLabel* fieldLabel(Field which) const;
    QLabel* timeLabel() const { return timeLabel_; }
    QLabel* picture() const { return picture_; }
    QPushButton* getInfoButton() const { return getInfo_; }
    QPushButton* updateButton() const { return update_; }
    QCheckBox* personalityCheck() const { return personality_; }
    QCheckBox* verifyCheck() const { return verify_; }
    QGroupBox* serialGroup() const { return serialGroup_; }
    QLineEdit* serialEntry() const { return serialEntry_; }
    QPushButton* serialButton() const { return serialButton_; }
    ProgressStatusBar* progressBar() const { return statusBar_; }
    QAction* exitAction() const { return exit_; }
    QAction* contentsAction() const { return contents_; }
    QAction* aboutAction() const { return about_; }
    QAction* recoverAction() const { return recover_; }
    // Lists English and every other installed language.
    QMenu* languageMenu() const { return languageMenu_; }
    // Nothing when the setup file offers no dealer login.
    QAction* dealerLoginAction() const { return dealerLogin_; }
    // The model whose picture is shown (empty: none yet).
    const std::string& currentPicture() const { return currentPicture_; }
    bool busyCursor() const { return busyCursor_; }
    // Whether logind holds off suspend for the running operation.
    bool sleepInhibited() const;

    // A second start of the tool asks for the window: it is restored when
    // minimised and brought to the front with its open dialog, if any.
    void bringToFront();

    // The tool is asked to end (SIGTERM, the end of the session). Idle, the
    // window closes. During an update the request goes to the update flow:
    // before the first erase the run stops; after it the first request lets
    // the run finish and a second one stops it; the closing requests go out
    // either way. The window closes when the flow has ended, and shows no
    // more messages meanwhile (they go to the error log).
    void requestQuit();
    bool quitRequested() const { return quitRequested_; }

    // Replaces the desktop's URL opener for Help/Contents (tests; an empty
    // one restores it). It says whether the page could be shown.
    static void setHelpOpener(std::function<bool(const QUrl&)> opener);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    // A mouse move over the window puts the help text back in pane 0.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildControls();
    void buildMenu();
    void buildPictureMap();
    void buildLanguageMenu(QMenu& setting, const std::vector<const LanguageEntry*>& languages);
    void markLanguage(QAction* item);
    void showHint(int stringId);
    void onExit();
    void onContents();
    void onAbout();
    void onDealerLogin();
    void onGetRadioInfo();
    void onRecoverMenu();
    // After a radio operation: closes the window when the tool was asked to
    // end meanwhile.
    void afterOperation();

    Application& app_;
    QtMessageQueue& queue_;
    std::unique_ptr<MainController> controller_;

    std::map<Field, QLineEdit*> fields_;
    std::map<Field, QLabel*> labels_;
    QLabel* picture_ = nullptr;
    QLabel* timeLabel_ = nullptr;
    QPushButton* getInfo_ = nullptr;
    QPushButton* update_ = nullptr;
    QCheckBox* personality_ = nullptr;
    QCheckBox* verify_ = nullptr;  // off by default
    QGroupBox* serialGroup_ = nullptr;
    QLineEdit* serialEntry_ = nullptr;
    QPushButton* serialButton_ = nullptr;
    ProgressStatusBar* statusBar_ = nullptr;
    QAction* exit_ = nullptr;
    QAction* contents_ = nullptr;
    QAction* about_ = nullptr;
    QAction* dealerLogin_ = nullptr;
    QAction* recover_ = nullptr;
    QMenu* languageMenu_ = nullptr;

    ConsoleServer* console_ = nullptr;
    std::unique_ptr<SleepInhibitor> inhibitor_;
    DeviceRemovalMonitor* deviceMonitor_ = nullptr;

    std::map<std::string, QPixmap> pictureMap_;
    std::string currentPicture_;
    bool busyCursor_ = false;
    bool rebuildingPictures_ = false;
    bool quitRequested_ = false;
    QTimer* quitTimer_ = nullptr;
};

}  // namespace vkt::gui
