// The main window's status bar: three panes whose right edges sit at 30 % and
// 60 % of the width and at the end. Pane 0 holds the help text, pane 1 the
// cable state, pane 2 is drawn here: a bar filled to `percent` with the
// percentage centred, drawn inverted over the filled part.
#pragma once

#include <QColor>
#include <QRect>
#include <QString>
#include <QWidget>

namespace vkt::gui {

class ProgressStatusBar : public QWidget {
    Q_OBJECT
  public:
    explicit ProgressStatusBar(QWidget* parent = nullptr);

    // Pane 1 shows "USB Cable Disconnected" when missing, else "USB Cable
    // Connected"; nothing changes when the state is the same.
    void setCableState(bool missing);
    void setHelpText(const QString& text);
    // 0..range; repaints only the progress pane.
    void setPercent(int percent);
    // What the running command is doing, shown before the percentage.
    void setPhaseText(const QString& text);

    int percent() const { return percent_; }
    int range() const { return range_; }
    bool cableMissing() const { return cableMissing_; }
    const QString& cableText() const { return cableText_; }
    const QString& helpText() const { return helpText_; }
    const QString& phaseText() const { return phaseText_; }
    QRect paneRect(int pane) const;
    QRect progressRect() const { return paneRect(2); }
    // How many times pane 1's text was put in (for the once-only rule).
    int cableTextChanges() const { return cableTextChanges_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  signals:
    void percentChanged(int percent);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void paintProgress(QPainter& painter, const QRect& pane);

    int percent_ = 0;
    int range_ = 100;
    QString cableText_;
    QString helpText_;
    QString phaseText_;
    bool cableMissing_ = true;
    int cableTextChanges_ = 0;
};

}  // namespace vkt::gui
