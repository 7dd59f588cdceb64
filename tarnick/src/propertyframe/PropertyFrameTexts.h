// The property frame's fixed texts (Japanese, as the user sees them), in one place.
#pragma once

namespace propertytext {

// Frame buttons.
inline constexpr const char* kOk = "OK";
inline constexpr const char* kCancel = "キャンセル";
inline constexpr const char* kApply = "適用(&A)";

// Camera-controls page.
inline constexpr const char* kCameraPageTitle = "カメラ制御";
inline constexpr const char* kPictureGroup = "映像調整";
inline constexpr const char* kCameraGroup = "カメラ";
inline constexpr const char* kAuto = "自動";
inline constexpr const char* kDefaults = "既定値(&D)";
inline constexpr const char* kNoControls = "このデバイスには調整できる項目がありません。";

// Picture (processing-amplifier) controls, by property number.
inline constexpr const char* kBrightness = "明るさ";
inline constexpr const char* kContrast = "コントラスト";
inline constexpr const char* kHue = "色合い";
inline constexpr const char* kSaturation = "彩度";
inline constexpr const char* kSharpness = "鮮明度";
inline constexpr const char* kGamma = "ガンマ";
inline constexpr const char* kColorEnable = "カラー";
inline constexpr const char* kWhiteBalance = "ホワイトバランス";
inline constexpr const char* kBacklight = "逆光補正";
inline constexpr const char* kGain = "ゲイン";

// Camera controls, by property number.
inline constexpr const char* kPan = "パン";
inline constexpr const char* kTilt = "チルト";
inline constexpr const char* kRoll = "ロール";
inline constexpr const char* kZoom = "ズーム";
inline constexpr const char* kExposure = "露出";
inline constexpr const char* kIris = "絞り";
inline constexpr const char* kFocus = "フォーカス";

// Stream-format page.
inline constexpr const char* kFormatPageTitle = "ストリーム形式";
inline constexpr const char* kPixelFormat = "ピクセル形式：";
inline constexpr const char* kOutputSize = "出力サイズ：";
inline constexpr const char* kFrameRate = "フレームレート：";
inline constexpr const char* kCurrentFormat = "現在の形式：";
inline constexpr const char* kBits = "%1 ビット";
inline constexpr const char* kFps = "%1 fps";
inline constexpr const char* kNoFormats = "このデバイスは形式の変更に対応していません。";
inline constexpr const char* kFormatRefused = "選択した形式をデバイスに設定できませんでした。キャプ"
                                              "チャを停止してから、もう一度お試しください。";

} // namespace propertytext
