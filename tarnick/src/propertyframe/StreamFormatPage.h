// StreamFormatPage: the capture pin's pixel format, size and frame rate, chosen from the
// pin's capabilities and set with IAMStreamConfig::SetFormat when the frame applies.
#pragma once

#include "propertyframe/PropertyPage.h"

#include <platform/com_ptr.h>
#include <platform/media/capture_interfaces.h>

#include <vector>

class QComboBox;
class QLabel;

class StreamFormatPage : public PropertyPage {
public:
    // Reads the capabilities and the current format of `object` (its IAMStreamConfig).
    StreamFormatPage(IUnknown* object, QWidget* parent = nullptr);

    QString title() const override;
    // Sets the chosen format on the pin; false after telling the user when the pin refused.
    bool apply() override;
    // Nothing reached the pin since the last apply: there is nothing to undo.
    void cancel() override {}

    struct Format {
        GUID subtype;
        WORD bitCount;
    };
    struct Choice {
        int format = -1; // index into formats()
        LONG width = 0, height = 0;
        REFERENCE_TIME interval = 0;
        bool operator==(const Choice&) const = default;
    };
    const std::vector<Format>& formats() const { return formats_; }
    Choice choice() const;

private:
    // One capability of the pin, as GetStreamCaps gave it.
    struct Capability {
        int index;
        int format;
        LONG minWidth, maxWidth, stepWidth;
        LONG minHeight, maxHeight, stepHeight;
        REFERENCE_TIME minInterval, maxInterval;
        bool covers(LONG width, LONG height) const;
    };

    void readCapabilities();
    void readCurrent();
    void fillSizes(LONG keepWidth, LONG keepHeight);
    void fillRates(REFERENCE_TIME keep);
    void selectionChanged();
    void showCurrent();
    const Capability* capabilityFor(const Choice& choice) const;

    platform::ComPtr<IAMStreamConfig> config_;
    std::vector<Format> formats_;
    std::vector<Capability> capabilities_;
    Choice applied_;
    QComboBox* format_ = nullptr;
    QComboBox* size_ = nullptr;
    QComboBox* rate_ = nullptr;
    QLabel* current_ = nullptr;
};
