// The splash screen shown while the tool starts.
#pragma once

#include <QDialog>
#include <QImage>

namespace vkt::gui {

// Shows the splash picture centred on the screen for the display time, then
// ends by itself. The user cannot close it earlier.
class SplashScreen : public QDialog {
    Q_OBJECT
  public:
    explicit SplashScreen(int displayMs, QWidget* parent = nullptr);

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
