// The dealer's password dialog: a masked entry for at most 15 digits, a hint
// line below it (red while the previous entry was refused) and the Login
// button. Login ends it with Accepted; its close box or Esc ends it without.
#pragma once

#include <QColor>
#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

namespace vkt::gui {

class LoginDialog : public QDialog {
    Q_OBJECT
  public:
    explicit LoginDialog(QWidget* parent = nullptr);

    // Set before opening: the previous entry was refused. Any edit clears it.
    void setWrongPassword(bool wrong);
    bool wrongPassword() const { return wrongPassword_; }
    // The entry's text; setting it selects the whole of it.
    void setPassword(const QString& text);
    QString password() const;

    QLineEdit* entry() const { return entry_; }
    QPushButton* loginButton() const { return login_; }
    // The hint line as it is drawn.
    QString hintText() const;
    QColor hintColor() const;

    static constexpr int kMaxLength = 15;

  protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    QLineEdit* entry_ = nullptr;
    QPushButton* login_ = nullptr;
    bool wrongPassword_ = false;
};

}  // namespace vkt::gui
