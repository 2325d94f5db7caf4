#include "app/common/SettingUtil.h"

#include "platform/Defaults.h"

bool isProtcolAuto() {
    return platform::Defaults::standard().integer("ProtcolSelAuto") == 1;
}
