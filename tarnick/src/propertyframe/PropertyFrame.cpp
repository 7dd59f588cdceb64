// PropertyFrame: tabs of pages over the OK / Cancel / Apply row.
#include "propertyframe/PropertyFrame.h"

#include "DialogUnits.h"
#include "propertyframe/PropertyFrameTexts.h"
#include "propertyframe/PropertyPage.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

PropertyFrame::PropertyFrame(QWidget* owner, const QString& caption) : QDialog(owner) {
    setObjectName("propertyFrame");
    setWindowTitle(caption);
    setFont(dialogFont("MS UI Gothic", 9));
    setWindowFlags((windowFlags() | Qt::MSWindowsFixedSizeDialogHint) &
                   ~Qt::WindowContextHelpButtonHint);
    const DialogUnits du(font());

    tabs_ = new QTabWidget(this);
    auto* buttons = new QDialogButtonBox(this);
    auto* ok =
        buttons->addButton(QString::fromUtf8(propertytext::kOk), QDialogButtonBox::AcceptRole);
    ok->setObjectName("okButton");
    ok->setDefault(true);
    auto* cancel =
        buttons->addButton(QString::fromUtf8(propertytext::kCancel), QDialogButtonBox::RejectRole);
    cancel->setObjectName("cancelButton");
    apply_ =
        buttons->addButton(QString::fromUtf8(propertytext::kApply), QDialogButtonBox::ApplyRole);
    apply_->setObjectName("applyButton");
    apply_->setEnabled(false);
    for (QPushButton* button : {ok, cancel, apply_})
        button->setMinimumWidth(du.x(50));
    connect(buttons, &QDialogButtonBox::accepted, this, &PropertyFrame::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &PropertyFrame::reject);
    connect(apply_, &QPushButton::clicked, this, [this] { applyAll(); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(du.x(7), du.y(7), du.x(7), du.y(7));
    layout->setSpacing(du.y(7));
    layout->addWidget(tabs_);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void PropertyFrame::addPage(PropertyPage* page) {
    pages_.push_back(page);
    tabs_->addTab(page, page->title());
    page->onChanged([this] { apply_->setEnabled(true); });
}

bool PropertyFrame::applyAll() {
    for (PropertyPage* page : pages_) {
        if (!page->apply()) {
            tabs_->setCurrentWidget(page);
            return false;
        }
    }
    apply_->setEnabled(false);
    return true;
}

void PropertyFrame::accept() {
    if (applyAll())
        QDialog::accept();
}

void PropertyFrame::reject() {
    for (PropertyPage* page : pages_)
        page->cancel();
    QDialog::reject();
}
