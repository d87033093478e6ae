// The tool's message box: text beside the style's icon, one or two buttons in
// a light band along the bottom, the first button the default one. It returns
// the id of the button that closed it (1 OK, 2 Cancel, 6 Yes, 7 No).
#pragma once

#include <QDialog>
#include <QIcon>
#include <QRect>
#include <functional>

#include "app/front_end.h"

class QPushButton;

namespace vkt::gui {

class MessageBox : public QDialog {
    Q_OBJECT
  public:
    MessageBox(const QString& text, MessageStyle messageStyle, const QString& caption,
               QWidget* parent = nullptr);

    // Runs the box modally and returns the pressed button's id. When a
    // scripted answer is installed the box is shown, the script picks the
    // answer and the box closes without waiting for the user.
    ButtonId run();

    // The answering script of tests (null: the user answers). It sees the
    // open box and returns the id of the button to press.
    using Script = std::function<ButtonId(MessageBox&)>;
    static void setScript(Script script);

    QPushButton* firstButton() const { return first_; }
    QPushButton* secondButton() const { return second_; }
    ButtonId firstId() const { return firstId_; }
    ButtonId secondId() const { return secondId_; }
    bool secondShown() const { return secondShown_; }
    const QString& text() const { return text_; }
    MessageStyle messageStyle() const { return style_; }
    // The button that closed the box.
    ButtonId answer() const { return static_cast<ButtonId>(result()); }
    QRect textRect() const { return textRect_; }
    // Whether the text fits on one line (drawn vertically centred).
    bool singleLine() const { return singleLine_; }
    // Presses the button with `id` (what a click does).
    void press(ButtonId id);
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
    MessageStyle style_;
    QIcon icon_;
    int iconSize_ = 32;
    QRect textRect_;
    bool singleLine_ = false;
    QPushButton* first_ = nullptr;
    QPushButton* second_ = nullptr;
    ButtonId firstId_ = ButtonId::Ok;
    ButtonId secondId_ = ButtonId::Cancel;
    bool secondShown_ = false;
};

}  // namespace vkt::gui
