// The tool's message box: text beside the style's icon, one or two buttons in
// a light band along the bottom, the first button the default one. It returns
// the id of the button that closed it (1 OK, 2 Cancel, 6 Yes, 7 No).
#pragma once

#include <QDialog>
#include <QIcon>
#include <QRect>
#include <functional>

class QPushButton;

namespace vkt::gui {

class CMsgBox : public QDialog {
    Q_OBJECT
  public:
    CMsgBox(const QString& text, int styleFlags, const QString& caption, QWidget* parent = nullptr);

    // Runs the box modally and returns the pressed button's id. When a
    // scripted answer is installed the box is shown, the script picks the
    // answer and the box closes without waiting for the user.
    int run();

    // The answering script of tests (null: the user answers). It sees the
    // open box and returns the id of the button to press.
    using Script = std::function<int(CMsgBox&)>;
    static void setScript(Script script);

    QPushButton* firstButton() const { return first_; }
    QPushButton* secondButton() const { return second_; }
    int firstId() const { return firstId_; }
    int secondId() const { return secondId_; }
    bool secondShown() const { return secondShown_; }
    const QString& text() const { return text_; }
    int messageStyle() const { return style_; }
    QRect textRect() const { return textRect_; }
    // Whether the text fits on one line (drawn vertically centred).
    bool singleLine() const { return singleLine_; }
    // Presses the button with `id` (what a click does).
    void press(int id);
    // Esc or the close button: OK for a lone OK button, Cancel where there
    // is one, No to a Yes/No question.
    void reject() override;

    static constexpr int kMargin = 20;
    static constexpr int kBandHeight = 50;
    static constexpr int kTextWidth = 400;
    static QColor bandColour() { return QColor(240, 240, 240); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void layOut();

    QString text_;
    int style_;
    QIcon icon_;
    int iconSize_ = 32;
    QRect textRect_;
    bool singleLine_ = false;
    QPushButton* first_ = nullptr;
    QPushButton* second_ = nullptr;
    int firstId_ = 1;
    int secondId_ = 2;
    bool secondShown_ = false;
};

}  // namespace vkt::gui
