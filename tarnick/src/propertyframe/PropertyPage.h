// PropertyPage: one page of the property frame, working on the object the frame was opened for.
#pragma once

#include <QWidget>

#include <functional>
#include <utility>

// Every call comes from the window thread that runs the frame.
class PropertyPage : public QWidget {
public:
    using QWidget::QWidget;

    // The tab's title.
    virtual QString title() const = 0;
    // Puts the user's choices into effect; false (the frame stays open) when the object
    // refused them, after telling the user.
    virtual bool apply() = 0;
    // The frame closes without keeping what the user did since the last apply.
    virtual void cancel() = 0;

    // Called whenever the page comes to hold a change since the last apply.
    void onChanged(std::function<void()> handler) { changed_ = std::move(handler); }

protected:
    void notifyChanged() {
        if (changed_)
            changed_();
    }

private:
    std::function<void()> changed_;
};
