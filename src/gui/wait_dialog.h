// The wait dialog: a small caption-less window with "Please wait..." that
// keeps the user-interface thread's messages flowing while the Task worker
// runs. The user cannot close it; it ends when the flow says it has finished.
#pragma once

#include <QDialog>
#include <functional>

class QLabel;

namespace vkt::gui {

class QtMessageQueue;

class WaitDialog : public QDialog {
    Q_OBJECT
  public:
    WaitDialog(QtMessageQueue& queue, QWidget* parent = nullptr);

    // Shows the dialog modally until finished() is true; finished() is
    // checked first and after every round of dispatched messages.
    void run(const std::function<bool()>& finished);

    QLabel* label() const { return label_; }
    // Esc does not end the wait.
    void reject() override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void setFrameStyle();

    QtMessageQueue& queue_;
    QLabel* label_;
};

}  // namespace vkt::gui
