// The About box: product title, version and the maker's notices.
#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace vkt::gui {

class AboutDialog : public QDialog {
    Q_OBJECT
  public:
    explicit AboutDialog(QWidget* parent = nullptr);

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

}  // namespace vkt::gui
