// The list of interrupted updates (File > Recover Interrupted Update...):
// every pending run of the journal with its date, radio and backup file. The
// user picks one and the window recovers it on the radio that is connected.
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <vector>

#include "app/update_journal.h"

class QListWidget;
class QPushButton;

namespace vkt::gui {

class RecoveryDialog : public QDialog {
    Q_OBJECT
  public:
    RecoveryDialog(std::vector<JournalRun> runs, const QString& caption, QWidget* parent = nullptr);

    // Runs the dialog modally: the id of the run to recover, 0 when none
    // was chosen. With a script installed, the script chooses instead.
    std::int64_t run();

    // The choosing script of tests (null: the user chooses); it sees the
    // open dialog and returns a run id or 0.
    using Script = std::function<std::int64_t(RecoveryDialog&)>;
    static void setScript(Script script);

    QListWidget* list() const { return list_; }
    QPushButton* recoverButton() const { return recover_; }
    const std::vector<JournalRun>& runs() const { return runs_; }
    // The run of the selected row (0: none).
    std::int64_t selectedRun() const;

  private:
    std::vector<JournalRun> runs_;
    QListWidget* list_ = nullptr;
    QPushButton* recover_ = nullptr;
};

}  // namespace vkt::gui
