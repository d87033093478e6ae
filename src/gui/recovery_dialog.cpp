#include "gui/recovery_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/qt_text.h"

namespace vkt::gui {

namespace {

RecoveryDialog::Script& script() {
    static RecoveryDialog::Script s;
    return s;
}

QString rowText(const JournalRun& r) {
    return QStringLiteral("%1   %2   %3\n%4")
        .arg(toQString(journalTimeAsLocal(r.startedAt)), toQString(r.serial), toQString(r.model),
             toQString(r.backupFile));
}

}  // namespace

void RecoveryDialog::setScript(Script s) {
    script() = std::move(s);
}

RecoveryDialog::RecoveryDialog(std::vector<JournalRun> runs, const QString& caption,
                               QWidget* parent)
    : QDialog(parent), runs_(std::move(runs)) {
    setWindowTitle(caption);
    auto* column = new QVBoxLayout(this);
    auto* title = new QLabel(loadQString(str::kInterruptedUpdates), this);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    column->addWidget(title);
    auto* instructions = new QLabel(loadQString(str::kRecoverInstructions), this);
    instructions->setWordWrap(true);
    column->addWidget(instructions);
    list_ = new QListWidget(this);
    for (const JournalRun& r : runs_)
        list_->addItem(rowText(r));
    list_->setMinimumWidth(520);
    column->addWidget(list_, 1);
    auto* buttons = new QDialogButtonBox(this);
    recover_ = buttons->addButton(loadQString(str::kRecoverButton), QDialogButtonBox::AcceptRole);
    buttons->addButton(loadQString(str::kCancel), QDialogButtonBox::RejectRole);
    column->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(list_, &QListWidget::currentRowChanged, this,
            [this](int row) { recover_->setEnabled(row >= 0); });
    if (!runs_.empty())
        list_->setCurrentRow(0);
    recover_->setEnabled(!runs_.empty());
}

std::int64_t RecoveryDialog::selectedRun() const {
    const int row = list_->currentRow();
    return row >= 0 && static_cast<std::size_t>(row) < runs_.size() ? runs_[row].id : 0;
}

std::int64_t RecoveryDialog::run() {
    if (script()) {
        show();
        const std::int64_t chosen = script()(*this);
        hide();
        return chosen;
    }
    return exec() == QDialog::Accepted ? selectedRun() : 0;
}

}  // namespace vkt::gui
