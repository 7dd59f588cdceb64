// CameraControlsPage: a slider per picture and camera control the device offers; every move
// goes straight to the device.
#pragma once

#include "propertyframe/PropertyPage.h"

#include <platform/com.h>

#include <memory>
#include <vector>

class DeviceControl;

class CameraControlsPage : public PropertyPage {
public:
    // Reads the controls of `object` (its IAMVideoProcAmp and IAMCameraControl).
    CameraControlsPage(IUnknown* object, QWidget* parent = nullptr);
    ~CameraControlsPage() override;

    QString title() const override;
    // The device already has every change: apply only makes them the ones cancel keeps.
    bool apply() override;
    // Puts back the values and modes the controls had when the page opened or was last
    // applied.
    void cancel() override;
    // Every control to its default value; controls in automatic mode stay automatic.
    void restoreDefaults();

    int controlCount() const { return int(rows_.size()); }

private:
    struct Row;
    void build();
    void display(Row& row);
    void moved(Row& row, int position);
    void autoToggled(Row& row, bool automatic);

    std::vector<std::unique_ptr<Row>> rows_;
};
