// StreamFormatPage: pixel format, output size and frame rate from the pin's capabilities.
#include "propertyframe/StreamFormatPage.h"

#include "DialogUnits.h"
#include "MessageBox.h"
#include "propertyframe/PropertyFrameTexts.h"

#include <platform/media/media_types.h>

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSize>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// Sizes offered inside a capability that spans a range, besides its own smallest and largest.
constexpr LONG kCommonSizes[][2] = {
    {160, 120},  {176, 144},  {320, 240},  {352, 288},   {640, 360},   {640, 480},   {800, 600},
    {1024, 768}, {1280, 720}, {1280, 960}, {1600, 1200}, {1920, 1080}, {2560, 1440}, {3840, 2160},
};
// Rates offered inside a capability's interval range, besides its fastest and slowest.
constexpr double kCommonRates[] = {60, 50, 30, 25, 24, 20, 15, 10, 7.5, 5, 2, 1};

// A media type handed out by the pin, freed as the caller must.
struct OwnedType {
    AM_MEDIA_TYPE* mt = nullptr;
    OwnedType() = default;
    OwnedType(const OwnedType&) = delete;
    OwnedType& operator=(const OwnedType&) = delete;
    ~OwnedType() {
        if (!mt)
            return;
        if (mt->cbFormat != 0)
            CoTaskMemFree(mt->pbFormat);
        if (mt->pUnk)
            mt->pUnk->Release();
        CoTaskMemFree(mt);
    }
    VIDEOINFOHEADER* videoInfo() const {
        if (!mt || mt->formattype != FORMAT_VideoInfo || !mt->pbFormat ||
            mt->cbFormat < sizeof(VIDEOINFOHEADER))
            return nullptr;
        return reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat);
    }
};

// The short name of a video subtype: the RGB names, or the FOURCC the subtype is built on.
QString subtypeName(const GUID& subtype) {
    struct Named {
        const GUID* subtype;
        const char* name;
    };
    static const Named kNamed[] = {{&MEDIASUBTYPE_RGB24, "RGB24"},
                                   {&MEDIASUBTYPE_RGB32, "RGB32"},
                                   {&MEDIASUBTYPE_RGB565, "RGB565"},
                                   {&MEDIASUBTYPE_RGB555, "RGB555"},
                                   {&MEDIASUBTYPE_RGB8, "RGB8"}};
    for (const Named& n : kNamed)
        if (*n.subtype == subtype)
            return n.name;
    static constexpr BYTE kFourccTail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    if (subtype.Data2 == 0 && subtype.Data3 == 0x0010 &&
        std::memcmp(subtype.Data4, kFourccTail, sizeof(kFourccTail)) == 0) {
        QString code;
        for (int shift = 0; shift < 32; shift += 8) {
            const char c = char((subtype.Data1 >> shift) & 0xFF);
            if (c < 0x20 || c > 0x7E)
                return QStringLiteral("?");
            code += QChar(c);
        }
        return code.trimmed();
    }
    return QStringLiteral("?");
}

QString formatText(const StreamFormatPage::Format& format) {
    return QString("%1 (%2)").arg(subtypeName(format.subtype),
                                  QString::fromUtf8(propertytext::kBits).arg(format.bitCount));
}

QString rateText(REFERENCE_TIME interval) {
    const double fps = double(UNITS) / double(std::max<REFERENCE_TIME>(interval, 1));
    // Two decimals at most, without trailing zeros: 30, 7.5, 29.97.
    QString number = QString::number(std::round(fps * 100) / 100, 'f', 2);
    while (number.endsWith('0'))
        number.chop(1);
    if (number.endsWith('.'))
        number.chop(1);
    return QString::fromUtf8(propertytext::kFps).arg(number);
}

QString sizeText(LONG width, LONG height) {
    return QString("%1 × %2").arg(width).arg(height);
}

// The bytes of one picture, as the type's biSizeImage should say.
DWORD imageBytes(const BITMAPINFOHEADER& header) {
    const int64_t width = header.biWidth, height = std::abs(int64_t(header.biHeight));
    if (header.biCompression == BI_RGB)
        return DWORD(((width * header.biBitCount + 31) / 32) * 4 * height);
    if (header.biBitCount != 0)
        return DWORD((width * header.biBitCount + 7) / 8 * height);
    return header.biSizeImage;
}

} // namespace

bool StreamFormatPage::Capability::covers(LONG width, LONG height) const {
    return width >= minWidth && width <= maxWidth && height >= minHeight && height <= maxHeight &&
           (width - minWidth) % std::max<LONG>(stepWidth, 1) == 0 &&
           (height - minHeight) % std::max<LONG>(stepHeight, 1) == 0;
}

StreamFormatPage::StreamFormatPage(IUnknown* object, QWidget* parent) : PropertyPage(parent) {
    setObjectName("streamFormatPage");
    const DialogUnits du(font());
    platform::ComPtr<IUnknown>(object).As(&config_);
    if (config_)
        readCapabilities();

    auto* layout = new QVBoxLayout(this);
    if (formats_.empty()) {
        auto* none = new QLabel(QString::fromUtf8(propertytext::kNoFormats), this);
        none->setObjectName("noFormats");
        layout->addWidget(none);
        layout->addStretch(1);
        return;
    }
    auto* form = new QFormLayout();
    form->setHorizontalSpacing(du.x(6));
    form->setVerticalSpacing(du.y(5));
    format_ = new QComboBox(this);
    format_->setObjectName("pixelFormat");
    size_ = new QComboBox(this);
    size_->setObjectName("outputSize");
    rate_ = new QComboBox(this);
    rate_->setObjectName("frameRate");
    for (QComboBox* box : {format_, size_, rate_})
        box->setMinimumWidth(du.x(120));
    current_ = new QLabel(this);
    current_->setObjectName("currentFormat");
    form->addRow(QString::fromUtf8(propertytext::kPixelFormat), format_);
    form->addRow(QString::fromUtf8(propertytext::kOutputSize), size_);
    form->addRow(QString::fromUtf8(propertytext::kFrameRate), rate_);
    form->addRow(QString::fromUtf8(propertytext::kCurrentFormat), current_);
    layout->addLayout(form);
    layout->addStretch(1);

    for (size_t i = 0; i < formats_.size(); ++i)
        format_->addItem(formatText(formats_[i]), int(i));
    readCurrent();

    connect(format_, &QComboBox::currentIndexChanged, this, [this] {
        const Choice now = choice();
        fillSizes(now.width, now.height);
        selectionChanged();
    });
    connect(size_, &QComboBox::currentIndexChanged, this, [this] {
        fillRates(choice().interval);
        selectionChanged();
    });
    connect(rate_, &QComboBox::currentIndexChanged, this, [this] { selectionChanged(); });
}

QString StreamFormatPage::title() const {
    return QString::fromUtf8(propertytext::kFormatPageTitle);
}

void StreamFormatPage::readCapabilities() {
    int count = 0, size = 0;
    if (FAILED(config_->GetNumberOfCapabilities(&count, &size)) ||
        size > int(sizeof(VIDEO_STREAM_CONFIG_CAPS)))
        return; // a caps block larger than ours is never written into it
    // A bound on what a pin may claim: no camera has this many.
    count = std::min(count, 256);
    for (int i = 0; i < count; ++i) {
        VIDEO_STREAM_CONFIG_CAPS caps{};
        OwnedType type;
        if (config_->GetStreamCaps(i, &type.mt, reinterpret_cast<BYTE*>(&caps)) != S_OK)
            continue;
        const VIDEOINFOHEADER* info = type.videoInfo();
        if (!info || type.mt->majortype != MEDIATYPE_Video || caps.MinOutputSize.cx <= 0 ||
            caps.MinOutputSize.cy <= 0 || caps.MaxOutputSize.cx < caps.MinOutputSize.cx ||
            caps.MaxOutputSize.cy < caps.MinOutputSize.cy || caps.MinFrameInterval <= 0 ||
            caps.MaxFrameInterval < caps.MinFrameInterval)
            continue;
        const Format format{type.mt->subtype, info->bmiHeader.biBitCount};
        auto known = std::find_if(formats_.begin(), formats_.end(), [&](const Format& f) {
            return f.subtype == format.subtype && f.bitCount == format.bitCount;
        });
        if (known == formats_.end())
            known = formats_.insert(formats_.end(), format);
        capabilities_.push_back(
            {i, int(known - formats_.begin()), caps.MinOutputSize.cx, caps.MaxOutputSize.cx,
             std::max(caps.OutputGranularityX, 1), caps.MinOutputSize.cy, caps.MaxOutputSize.cy,
             std::max(caps.OutputGranularityY, 1), caps.MinFrameInterval, caps.MaxFrameInterval});
    }
}

// Selects the pin's format now; a size or rate the lists lack is added so that the page
// opens on what is in force.
void StreamFormatPage::readCurrent() {
    OwnedType type;
    const VIDEOINFOHEADER* info = nullptr;
    if (SUCCEEDED(config_->GetFormat(&type.mt)))
        info = type.videoInfo();
    int formatIndex = 0;
    LONG width = 0, height = 0;
    REFERENCE_TIME interval = 0;
    if (info) {
        for (size_t i = 0; i < formats_.size(); ++i)
            if (formats_[i].subtype == type.mt->subtype &&
                formats_[i].bitCount == info->bmiHeader.biBitCount)
                formatIndex = int(i);
        width = info->bmiHeader.biWidth;
        height = LONG(std::abs(int64_t(info->bmiHeader.biHeight)));
        interval = info->AvgTimePerFrame;
    }
    {
        const QSignalBlocker block(format_);
        format_->setCurrentIndex(formatIndex);
    }
    fillSizes(width, height);
    if (info && size_->currentData().toSize() != QSize(width, height)) {
        const QSignalBlocker block(size_);
        size_->addItem(sizeText(width, height), QSize(width, height));
        size_->setCurrentIndex(size_->count() - 1);
        fillRates(interval);
    }
    if (info && interval > 0 && rate_->currentData().toLongLong() != interval) {
        const QSignalBlocker block(rate_);
        rate_->addItem(rateText(interval), qlonglong(interval));
        rate_->setCurrentIndex(rate_->count() - 1);
    }
    applied_ = choice();
    showCurrent();
}

void StreamFormatPage::fillSizes(LONG keepWidth, LONG keepHeight) {
    const int format = format_->currentData().toInt();
    std::vector<QSize> sizes;
    for (const Capability& c : capabilities_) {
        if (c.format != format)
            continue;
        sizes.emplace_back(c.minWidth, c.minHeight);
        sizes.emplace_back(c.maxWidth, c.maxHeight);
        for (const auto& s : kCommonSizes)
            if (c.covers(s[0], s[1]))
                sizes.emplace_back(s[0], s[1]);
    }
    std::sort(sizes.begin(), sizes.end(), [](const QSize& a, const QSize& b) {
        const int64_t areaA = int64_t(a.width()) * a.height(),
                      areaB = int64_t(b.width()) * b.height();
        return areaA != areaB ? areaA < areaB : a.width() < b.width();
    });
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());

    // The size kept when the format offers it, else the one closest in area.
    const int64_t wanted = int64_t(keepWidth) * keepHeight;
    const auto distance = [wanted](const QSize& s) {
        return std::abs(int64_t(s.width()) * s.height() - wanted);
    };
    int keep = -1;
    for (size_t i = 0; i < sizes.size(); ++i) {
        if (sizes[i] == QSize(keepWidth, keepHeight)) {
            keep = int(i);
            break;
        }
        if (keep < 0 || distance(sizes[i]) < distance(sizes[size_t(keep)]))
            keep = int(i);
    }
    const QSignalBlocker block(size_);
    size_->clear();
    for (const QSize& s : sizes)
        size_->addItem(sizeText(s.width(), s.height()), s);
    size_->setCurrentIndex(keep);
    fillRates(choice().interval);
}

void StreamFormatPage::fillRates(REFERENCE_TIME keep) {
    const Choice now = choice();
    std::vector<REFERENCE_TIME> intervals;
    for (const Capability& c : capabilities_) {
        if (c.format != now.format || !c.covers(now.width, now.height))
            continue;
        intervals.push_back(c.minInterval);
        intervals.push_back(c.maxInterval);
        for (double fps : kCommonRates) {
            const auto interval = REFERENCE_TIME(std::llround(double(UNITS) / fps));
            if (interval >= c.minInterval && interval <= c.maxInterval)
                intervals.push_back(interval);
        }
    }
    std::sort(intervals.begin(), intervals.end());
    intervals.erase(std::unique(intervals.begin(), intervals.end()), intervals.end());

    const QSignalBlocker block(rate_);
    rate_->clear();
    int chosen = -1;
    REFERENCE_TIME closest = -1;
    for (REFERENCE_TIME interval : intervals) {
        rate_->addItem(rateText(interval), qlonglong(interval));
        const REFERENCE_TIME distance = interval > keep ? interval - keep : keep - interval;
        if (closest < 0 || distance < closest)
            closest = distance, chosen = rate_->count() - 1;
    }
    rate_->setCurrentIndex(chosen);
}

StreamFormatPage::Choice StreamFormatPage::choice() const {
    Choice c;
    if (!format_)
        return c;
    c.format = format_->currentData().isValid() ? format_->currentData().toInt() : -1;
    const QSize size = size_->currentData().toSize();
    c.width = size.width();
    c.height = size.height();
    c.interval = rate_->currentData().toLongLong();
    return c;
}

void StreamFormatPage::selectionChanged() {
    if (!(choice() == applied_))
        notifyChanged();
}

void StreamFormatPage::showCurrent() {
    if (!current_ || applied_.format < 0)
        return;
    current_->setText(QString("%1  %2  %3")
                          .arg(formatText(formats_[size_t(applied_.format)]),
                               sizeText(applied_.width, applied_.height),
                               rateText(applied_.interval)));
}

const StreamFormatPage::Capability* StreamFormatPage::capabilityFor(const Choice& c) const {
    const Capability* covering = nullptr;
    for (const Capability& cap : capabilities_) {
        if (cap.format != c.format || !cap.covers(c.width, c.height))
            continue;
        if (c.interval >= cap.minInterval && c.interval <= cap.maxInterval)
            return &cap;
        if (!covering)
            covering = &cap;
    }
    return covering;
}

bool StreamFormatPage::apply() {
    if (!config_ || !format_)
        return true;
    const Choice wanted = choice();
    if (wanted == applied_)
        return true;
    const Capability* cap = capabilityFor(wanted);
    HRESULT hr = E_FAIL;
    if (cap) {
        VIDEO_STREAM_CONFIG_CAPS caps{};
        OwnedType type;
        if (config_->GetStreamCaps(cap->index, &type.mt, reinterpret_cast<BYTE*>(&caps)) == S_OK) {
            if (VIDEOINFOHEADER* info = type.videoInfo()) {
                info->bmiHeader.biWidth = wanted.width;
                info->bmiHeader.biHeight = wanted.height;
                info->bmiHeader.biSizeImage = imageBytes(info->bmiHeader);
                info->AvgTimePerFrame =
                    std::clamp(wanted.interval, cap->minInterval, cap->maxInterval);
                hr = config_->SetFormat(type.mt);
            }
        }
    }
    if (FAILED(hr)) {
        AfxMessageBox(propertytext::kFormatRefused, this);
        return false;
    }
    readCurrent();
    return true;
}
