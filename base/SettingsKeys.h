#pragma once

// Group and key names of settings.ini, written once here and used everywhere.
namespace settings {

inline constexpr char kAudioGroup[] = "AudioSett";
inline constexpr char kVideoGroup[] = "VideoSett";
inline constexpr char kOutputGroup[] = "OutPutFileSett";
inline constexpr char kTabCaptureGroup[] = "TabCaptureSett";
inline constexpr char kUiGroup[] = "UISett";
inline constexpr char kScheduleGroup[] = "ScheduleSett";
inline constexpr char kMacroGroup[] = "MacroSett";

// AudioSett
inline constexpr char kAudioBitrate[] = "Bitrate";
inline constexpr char kAudioFormat[] = "AudioFormat";
inline constexpr char kMicrophoneOwnTrack[] = "MicrophoneOwnTrack";

// VideoSett
inline constexpr char kVideoBitrate[] = "Bitrate";
inline constexpr char kFps[] = "fps";
inline constexpr char kVideoFormat[] = "VideoFormat";
inline constexpr char kVideoCaptureApi[] = "VideoCaptureAPI";
inline constexpr char kQuality[] = "Quality";
inline constexpr char kUseHardwareEncoder[] = "UseHardwareEncoder";
inline constexpr char kResolutionIndex[] = "ResolutionIndex";
inline constexpr char kCustomWidth[] = "CustomWidth";
inline constexpr char kCustomHeight[] = "CustomHeight";
inline constexpr char kShowCursor[] = "ShowCursor";
inline constexpr char kKeepVideoVisible[] = "KeepVideoVisible";
inline constexpr char kKeepOnTop[] = "KeepOnTop";
inline constexpr char kRecordVideo[] = "RecordVideo";
// The desktop's restore tokens of the last shared screen and window on Wayland, so that its share
// dialog is not shown again.
inline constexpr char kWaylandScreenToken[] = "WaylandScreenRestoreToken";
inline constexpr char kWaylandWindowToken[] = "WaylandWindowRestoreToken";

// OutPutFileSett
inline constexpr char kRecordingFileName[] = "RecordingFileName";
inline constexpr char kUserDefinedFileName[] = "UserDefinedFileName";
inline constexpr char kRecordingPath[] = "RecordingPath";

// TabCaptureSett
inline constexpr char kWebSocketPort[] = "WebSocketPort";
// Extension ids (or whole origins) allowed besides Torvane's own, separated by commas.
inline constexpr char kAllowedExtensions[] = "AllowedExtensions";

// UISett
inline constexpr char kLanguage[] = "Language";
inline constexpr char kEnablePreview[] = "EnablePreview";
inline constexpr char kMinimizeWhenRecording[] = "MinimizeWhenRecording";

// ScheduleSett / MacroSett
inline constexpr char kNextScheduleId[] = "NextScheduleId";
inline constexpr char kNextMacroId[] = "NextMacroId";

// Values with a meaning of their own.
inline constexpr char kFormatMp4[] = "H264-AAC(MP4)";
inline constexpr char kFormatMpeg2[] = "MPEG-2";
inline constexpr char kFormatAvi[] = "MPEG-4(AVI)";
inline constexpr char kFormatWmv[] = "Windows Media";
inline constexpr char kQualityStandard[] = "Standard (Space saving)";
inline constexpr char kQualityHigh[] = "High (Default)";
inline constexpr char kQualityOriginal[] = "Orginal (High Picture Quality)";
inline constexpr char kBitrateAuto[] = "Auto";

} // namespace settings
