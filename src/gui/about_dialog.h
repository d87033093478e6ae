// The About box (product title, version, the maker's notices) and the
// splash screen shown while the tool starts.
#pragma once

#include <QDialog>
#include <QImage>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace vkt::gui {

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    QLabel* titleLabel() const { return title_; }
    QLabel* versionLabel() const { return version_; }
    QLabel* notice1() const { return notice1_; }
    QLabel* notice2() const { return notice2_; }
    QPlainTextEdit* notice3() const { return notice3_; }
    QPushButton* okButton() const { return ok_; }

  private:
    QLabel* title_;
    QLabel* version_;
    QLabel* notice1_;
    QLabel* notice2_;
    QPlainTextEdit* notice3_;
    QPushButton* ok_;
};

// Shows the splash picture centred on the screen for the display time, then
// ends by itself. The user cannot close it earlier.
class CSplashScreen : public QDialog {
    Q_OBJECT
  public:
    explicit CSplashScreen(int displayMs, QWidget* parent = nullptr);

    const QImage& image() const { return image_; }
    int displayTime() const { return displayMs_; }

    static QImage drawSplash(const QString& title);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override {}

  private:
    QImage image_;
    int displayMs_;
    bool timerStarted_ = false;
};

}  // namespace vkt::gui
