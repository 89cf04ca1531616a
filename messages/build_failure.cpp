#include "build_failure.h"

std::string CBuildFailure::ComponentMissing(const char* name) {
    return std::string("必要なコンポーネントのロードに失敗しました。(") + name + ")";
}

const char* CBuildFailure::NoDevice() { return "DV機器が見つかりませんでした。"; }
