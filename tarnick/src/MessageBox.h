// Message boxes as the program shows them: the application's name as caption, an OK button.
#pragma once

#include <functional>

class QWidget;
class QString;

// Shows `text` modally over `parent`; returns IDOK.
int AfxMessageBox(const char* text, QWidget* parent = nullptr);

// Tests see the messages instead of a modal box.
void setMessageBoxHandlerForTesting(std::function<void(const QString&)> handler);
