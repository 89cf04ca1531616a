#include "stream_failure.h"

#include <dshow.h>

#include <cstdio>

namespace {

// Win32 errors the DV device reports through its statuses and that the platform headers do not
// name.
constexpr LONG kErrorDiskFull = 112;             // ERROR_DISK_FULL
constexpr LONG kErrorDeviceNotConnected = 1167;  // ERROR_DEVICE_NOT_CONNECTED
constexpr LONG kErrorNoSystemResources = 1450;   // ERROR_NO_SYSTEM_RESOURCES: no bus bandwidth or channel

const char kStartFailed[] = "DV出力を開始できませんでした。";
const char kInterrupted[] = "DV出力が中断されました。";

const char kDeviceGone[] = "DV機器が取り外されたか、接続が切れました。";
const char kDeviceBusy[] = "DV機器は他のアプリケーションが使用中です。";
const char kMediaFull[] = "テープまたはディスクの空きがありません。";
const char kNoAnswer[] = "DV機器が応答しません。";
const char kNoBusResources[] = "IEEE 1394 バスの帯域またはチャンネルが足りません。";
const char kNoResources[] = "メモリまたはシステム資源が不足しています。";
const char kOtherFailure[] = "エラーが発生しました。";

}  // namespace

std::string CStreamFailure::Describe(Stage stage, LONG eventCode, HRESULT status) {
    std::string text = stage == kStarting ? kStartFailed : kInterrupted;
    text += '\n';
    if (eventCode == EC_DEVICE_LOST || status == HRESULT_FROM_WIN32(kErrorDeviceNotConnected)) {
        return text + kDeviceGone;
    }
    if (status == HRESULT_FROM_WIN32(ERROR_BUSY)) return text + kDeviceBusy;
    if (status == HRESULT_FROM_WIN32(kErrorDiskFull) ||
        status == HRESULT_FROM_WIN32(ERROR_HANDLE_DISK_FULL)) {
        return text + kMediaFull;
    }
    if (status == HRESULT_FROM_WIN32(kErrorNoSystemResources)) return text + kNoBusResources;
    if (status == HRESULT_FROM_WIN32(ERROR_TIMEOUT) || status == VFW_E_TIMEOUT) {
        return text + kNoAnswer;
    }
    if (status == E_OUTOFMEMORY || status == HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)) {
        return text + kNoResources;
    }
    // Anything else: the status itself is all there is to say.
    char code[24];
    std::snprintf(code, sizeof code, "(0x%08X)", static_cast<unsigned>(status));
    return text + kOtherFailure + code;
}

bool CStreamFailure::EndsStreaming(LONG eventCode, LONG_PTR param2) {
    switch (eventCode) {
    case EC_ERRORABORT:
    case EC_STREAM_ERROR_STOPPED:
        return true;
    case EC_DEVICE_LOST:
        return param2 == 0;
    default:
        return false;
    }
}
