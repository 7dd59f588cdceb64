// Message boxes, with a hook that tests use to read them without a modal loop.
#include "MessageBox.h"

#include "resource.h"

#include <QMessageBox>
#include <QString>

namespace {
std::function<void(const QString&)>& testHandler() {
    static std::function<void(const QString&)> handler;
    return handler;
}
} // namespace

int AfxMessageBox(const char* text, QWidget* parent) {
    const QString message = QString::fromUtf8(text);
    if (testHandler()) {
        testHandler()(message);
        return IDOK;
    }
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(text::kAppName), message,
                    QMessageBox::Ok, parent);
    box.exec();
    return IDOK;
}

void setMessageBoxHandlerForTesting(std::function<void(const QString&)> handler) {
    testHandler() = std::move(handler);
}
