// CameraControlsPage: the device's IAMVideoProcAmp and IAMCameraControl controls as rows of
// name, slider, value and an automatic box.
#include "propertyframe/CameraControlsPage.h"

#include "DialogUnits.h"
#include "propertyframe/PropertyFrameTexts.h"

#include <platform/com_ptr.h>
#include <platform/media/camera_interfaces.h>

#include <QCheckBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <cstdint>

using platform::ComPtr;

// One control of one of the two interfaces; both have the same three methods.
class DeviceControl {
public:
    virtual ~DeviceControl() = default;
    virtual HRESULT range(LONG* min, LONG* max, LONG* step, LONG* def, LONG* caps) = 0;
    virtual HRESULT get(LONG* value, LONG* flags) = 0;
    virtual HRESULT set(LONG value, LONG flags) = 0;
};

namespace {

template <class Interface> class InterfaceControl final : public DeviceControl {
public:
    InterfaceControl(ComPtr<Interface> control, LONG property)
        : control_(std::move(control)), property_(property) {}
    HRESULT range(LONG* min, LONG* max, LONG* step, LONG* def, LONG* caps) override {
        return control_->GetRange(property_, min, max, step, def, caps);
    }
    HRESULT get(LONG* value, LONG* flags) override {
        return control_->Get(property_, value, flags);
    }
    HRESULT set(LONG value, LONG flags) override { return control_->Set(property_, value, flags); }

private:
    ComPtr<Interface> control_;
    LONG property_;
};

struct ControlName {
    LONG property;
    const char* name;
    const char* id; // the slider's object name
};

constexpr ControlName kPictureControls[] = {
    {VideoProcAmp_Brightness, propertytext::kBrightness, "brightness"},
    {VideoProcAmp_Contrast, propertytext::kContrast, "contrast"},
    {VideoProcAmp_Hue, propertytext::kHue, "hue"},
    {VideoProcAmp_Saturation, propertytext::kSaturation, "saturation"},
    {VideoProcAmp_Sharpness, propertytext::kSharpness, "sharpness"},
    {VideoProcAmp_Gamma, propertytext::kGamma, "gamma"},
    {VideoProcAmp_ColorEnable, propertytext::kColorEnable, "colorEnable"},
    {VideoProcAmp_WhiteBalance, propertytext::kWhiteBalance, "whiteBalance"},
    {VideoProcAmp_BacklightCompensation, propertytext::kBacklight, "backlight"},
    {VideoProcAmp_Gain, propertytext::kGain, "gain"},
};

constexpr ControlName kCameraControls[] = {
    {CameraControl_Pan, propertytext::kPan, "pan"},
    {CameraControl_Tilt, propertytext::kTilt, "tilt"},
    {CameraControl_Roll, propertytext::kRoll, "roll"},
    {CameraControl_Zoom, propertytext::kZoom, "zoom"},
    {CameraControl_Exposure, propertytext::kExposure, "exposure"},
    {CameraControl_Iris, propertytext::kIris, "iris"},
    {CameraControl_Focus, propertytext::kFocus, "focus"},
};

// The two interfaces share their flag values.
static_assert(VideoProcAmp_Flags_Auto == CameraControl_Flags_Auto);
static_assert(VideoProcAmp_Flags_Manual == CameraControl_Flags_Manual);
constexpr LONG kAuto = VideoProcAmp_Flags_Auto;
constexpr LONG kManual = VideoProcAmp_Flags_Manual;

} // namespace

// A control's range as the device gave it, and the slider that walks it in steps: the
// slider counts steps from the minimum, so every position is a value the device takes.
struct CameraControlsPage::Row {
    std::unique_ptr<DeviceControl> control;
    LONG min = 0, max = 0, step = 1, defaultValue = 0;
    bool canAuto = false;
    // What cancel puts back.
    LONG keptValue = 0, keptFlags = kManual;
    bool touched = false;
    QSlider* slider = nullptr;
    QLabel* value = nullptr;
    QCheckBox* automatic = nullptr;

    int positionOf(LONG v) const {
        const int64_t clamped = std::clamp<int64_t>(v, min, max);
        return int((clamped - min) / step);
    }
    LONG valueAt(int position) const {
        return LONG(std::min<int64_t>(min + int64_t(position) * step, max));
    }
};

CameraControlsPage::CameraControlsPage(IUnknown* object, QWidget* parent) : PropertyPage(parent) {
    setObjectName("cameraControlsPage");
    const DialogUnits du(font());
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(du.y(4));

    // The groups' columns line up: each column as wide as its widest cell in either group.
    std::vector<QGridLayout*> grids;
    int nameWidth = 0, valueWidth = 0, autoWidth = 0;

    // Rows of one interface under a titled group, made with its first row: a device without
    // such controls shows no group.
    auto addGroup = [&](const char* title, const auto& table, auto makeControl) {
        QGroupBox* box = nullptr;
        QGridLayout* grid = nullptr;
        int line = 0;
        for (const ControlName& entry : table) {
            auto row = std::make_unique<Row>();
            row->control = makeControl(entry.property);
            if (!row->control)
                break;
            LONG caps = 0;
            if (FAILED(row->control->range(&row->min, &row->max, &row->step, &row->defaultValue,
                                           &caps)) ||
                row->max < row->min)
                continue;
            row->step = std::max<LONG>(row->step, 1);
            // Ranges wider than a slider can count are walked in larger steps.
            const int64_t span = int64_t(row->max) - row->min;
            if (span / row->step > INT_MAX)
                row->step = LONG(span / INT_MAX + 1);
            row->canAuto = caps & kAuto;
            if (FAILED(row->control->get(&row->keptValue, &row->keptFlags))) {
                row->keptValue = row->defaultValue;
                row->keptFlags = kManual;
            }

            if (!box) {
                box = new QGroupBox(QString::fromUtf8(title), this);
                grid = new QGridLayout(box);
                grid->setHorizontalSpacing(du.x(4));
                grid->setColumnStretch(1, 1);
                grids.push_back(grid);
                layout->addWidget(box);
            }
            auto* name = new QLabel(QString::fromUtf8(entry.name), box);
            row->slider = new QSlider(Qt::Horizontal, box);
            row->slider->setObjectName(QString("slider-") + entry.id);
            row->slider->setRange(0, row->positionOf(row->max));
            row->slider->setSingleStep(1);
            row->slider->setPageStep(std::max(1, row->slider->maximum() / 10));
            row->slider->setMinimumWidth(du.x(110));
            row->value = new QLabel(box);
            row->value->setObjectName(QString("value-") + entry.id);
            row->value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            const QFontMetrics metrics(row->value->font());
            nameWidth = std::max(nameWidth, name->sizeHint().width());
            valueWidth = std::max({valueWidth, metrics.horizontalAdvance(QString::number(row->min)),
                                   metrics.horizontalAdvance(QString::number(row->max))});
            grid->addWidget(name, line, 0);
            grid->addWidget(row->slider, line, 1);
            grid->addWidget(row->value, line, 2);
            if (row->canAuto) {
                row->automatic = new QCheckBox(QString::fromUtf8(propertytext::kAuto), box);
                row->automatic->setObjectName(QString("auto-") + entry.id);
                autoWidth = std::max(autoWidth, row->automatic->sizeHint().width());
                grid->addWidget(row->automatic, line, 3);
            }
            Row* r = row.get();
            connect(row->slider, &QSlider::valueChanged, this,
                    [this, r](int position) { moved(*r, position); });
            if (row->automatic)
                connect(row->automatic, &QCheckBox::toggled, this,
                        [this, r](bool on) { autoToggled(*r, on); });
            display(*row);
            rows_.push_back(std::move(row));
            ++line;
        }
    };

    ComPtr<IUnknown> unknown(object);
    const auto procAmp = unknown.query<IAMVideoProcAmp>();
    const auto camera = unknown.query<IAMCameraControl>();
    addGroup(propertytext::kPictureGroup, kPictureControls,
             [&](LONG property) -> std::unique_ptr<DeviceControl> {
                 if (!procAmp)
                     return nullptr;
                 return std::make_unique<InterfaceControl<IAMVideoProcAmp>>(procAmp, property);
             });
    addGroup(propertytext::kCameraGroup, kCameraControls,
             [&](LONG property) -> std::unique_ptr<DeviceControl> {
                 if (!camera)
                     return nullptr;
                 return std::make_unique<InterfaceControl<IAMCameraControl>>(camera, property);
             });

    for (QGridLayout* grid : grids) {
        grid->setColumnMinimumWidth(0, nameWidth);
        grid->setColumnMinimumWidth(2, valueWidth);
        grid->setColumnMinimumWidth(3, autoWidth);
    }

    if (rows_.empty()) {
        auto* none = new QLabel(QString::fromUtf8(propertytext::kNoControls), this);
        none->setObjectName("noControls");
        layout->addWidget(none);
        layout->addStretch(1);
        return;
    }
    auto* defaults = new QPushButton(QString::fromUtf8(propertytext::kDefaults), this);
    defaults->setObjectName("defaultsButton");
    defaults->setMinimumWidth(du.x(50));
    connect(defaults, &QPushButton::clicked, this, [this] { restoreDefaults(); });
    auto* bottom = new QHBoxLayout();
    bottom->addStretch(1);
    bottom->addWidget(defaults);
    layout->addLayout(bottom);
    layout->addStretch(1);
}

CameraControlsPage::~CameraControlsPage() = default;

QString CameraControlsPage::title() const {
    return QString::fromUtf8(propertytext::kCameraPageTitle);
}

// Shows what the device reports now, without sending anything back to it.
void CameraControlsPage::display(Row& row) {
    LONG value = row.keptValue, flags = row.keptFlags;
    if (FAILED(row.control->get(&value, &flags))) {
        value = row.valueAt(row.slider->value());
        flags = row.automatic && row.automatic->isChecked() ? kAuto : kManual;
    }
    const bool automatic = row.canAuto && (flags & kAuto);
    {
        const QSignalBlocker blockSlider(row.slider);
        row.slider->setValue(row.positionOf(value));
    }
    if (row.automatic) {
        const QSignalBlocker blockBox(row.automatic);
        row.automatic->setChecked(automatic);
    }
    row.slider->setEnabled(!automatic);
    row.value->setText(QString::number(value));
}

void CameraControlsPage::moved(Row& row, int position) {
    row.touched = true;
    row.control->set(row.valueAt(position), kManual);
    // A value the device refused or rounded shows as the device has it.
    display(row);
    notifyChanged();
}

void CameraControlsPage::autoToggled(Row& row, bool automatic) {
    row.touched = true;
    row.control->set(row.valueAt(row.slider->value()), automatic ? kAuto : kManual);
    display(row);
    notifyChanged();
}

void CameraControlsPage::restoreDefaults() {
    for (auto& row : rows_) {
        const bool automatic = row->automatic && row->automatic->isChecked();
        row->touched = true;
        row->control->set(row->defaultValue, automatic ? kAuto : kManual);
        display(*row);
    }
    notifyChanged();
}

bool CameraControlsPage::apply() {
    for (auto& row : rows_) {
        if (!row->touched)
            continue;
        if (FAILED(row->control->get(&row->keptValue, &row->keptFlags)))
            continue;
        row->touched = false;
    }
    return true;
}

void CameraControlsPage::cancel() {
    for (auto& row : rows_) {
        if (!row->touched)
            continue;
        // The value first, then the mode: a device in automatic mode may ignore the value.
        row->control->set(row->keptValue, kManual);
        if (row->canAuto && (row->keptFlags & kAuto))
            row->control->set(row->keptValue, kAuto);
        row->touched = false;
        display(*row);
    }
}
