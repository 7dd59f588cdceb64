// PropertyFrame: the modal frame that holds an object's property pages, with OK, Cancel and
// Apply as a property sheet has them.
#pragma once

#include <QDialog>

#include <vector>

class PropertyPage;
class QPushButton;
class QTabWidget;

class PropertyFrame : public QDialog {
public:
    // No caption when `caption` is empty.
    PropertyFrame(QWidget* owner, const QString& caption);

    // The frame takes the page (a child of the frame from then on).
    void addPage(PropertyPage* page);
    int pageCount() const { return int(pages_.size()); }

    // OK: apply every page, close when all took it. Cancel (also Escape and the close box):
    // every page drops what was not applied.
    void accept() override;
    void reject() override;

private:
    bool applyAll();

    QTabWidget* tabs_;
    QPushButton* apply_;
    std::vector<PropertyPage*> pages_;
};
