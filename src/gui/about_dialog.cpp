#include "gui/about_dialog.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/application.h"
#include "core/version.h"
#include "gui/qt_text.h"
#include "gui/radio_pictures.h"

namespace vkt::gui {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    const QString product = toQString(Application::composeTitle());
    setWindowTitle(loadQStringWith(str::kAboutCaption, product));
    auto* layout = new QVBoxLayout(this);
    auto* header = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap::fromImage(replaceKeyColour(drawRadioPicture(RadioPicture::Standard),
                                                        palette().color(QPalette::Window)))
                        .scaledToHeight(64, Qt::SmoothTransformation));
    header->addWidget(icon, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    title_ = new QLabel(product, this);
    version_ =
        new QLabel(loadQStringWith(str::kVersionLine, QString::fromStdString(releaseName())), this);
    notice1_ = new QLabel(loadQString(str::kLegal1), this);
    notice2_ = new QLabel(loadQString(str::kLegal2), this);
    notice2_->setWordWrap(true);
    for (QLabel* label : {title_, version_, notice1_, notice2_})
        texts->addWidget(label);
    header->addLayout(texts, 1);
    layout->addLayout(header);
    notice3_ = new QPlainTextEdit(loadQString(str::kLegal3), this);
    notice3_->setReadOnly(true);
    notice3_->setMinimumSize(380, 90);
    layout->addWidget(notice3_);
    ok_ = new QPushButton(loadQString(str::kOk), this);
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(ok_, 0, Qt::AlignRight);
}

}  // namespace vkt::gui
