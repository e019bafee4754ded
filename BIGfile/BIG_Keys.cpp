// File keys: the user id in the top 12 bits, a per-user counter in the low 20.
//
// The user's next key lives in the per-user settings store, in the default
// value (a dword) of the key below. Every new key is drawn from the store
// itself under its exclusive lock (read, store value + 1, hand out the value
// read), so processes of one user never draw the same key.
#include <atomic>

#include "BIGfile/BIG_Fat.h"
#include "ERRor/ERR_Assert.h"
#include "platform/Settings.h"

namespace {

constexpr const char* kKeyPath = "Software\\Marlin\\Marlin Production Platform\\Key";
constexpr const char* kKeyValue = "";  // the key's default value
// Counter values from here on are about to run out.
constexpr uint32_t kCounterLimit = 0xFD8EF;
constexpr uint32_t kCounterMask = 0xFFFFF;

std::atomic<uint32_t> s_ulCurrentKey{0xFFFFFFFF};
std::atomic<uint16_t> s_uwUserId{0xFFF};

uint16_t uwUserIdOf(uint32_t key) {
    return static_cast<uint16_t>(((key >> 12) & 0xF00) | (key >> 24));
}

}  // namespace

void BIG_cl_Fat::ReadUserId() {
    PLT::SettingsStore store;
    PLT::SettingsMap map;
    if (!store.ReadAll(&map))
        return;
    const auto section = map.find(kKeyPath);
    if (section == map.end())
        return;  // no key: nothing happens, ul_GetNewKey asks for one
    const auto value = section->second.find(kKeyValue);
    if (value == section->second.end() || !std::holds_alternative<uint32_t>(value->second)) {
        ERR_X_Raise("Assert", "ReadUserId : Cannot read user id");
        return;
    }
    const uint32_t key = std::get<uint32_t>(value->second);
    if ((key & kCounterMask) >= kCounterLimit)
        ERR_X_Raise(
            "Assert",
            "Your current user Id will be invalid soon. You must get a new user Id.\nPlease contact the "
            "development team");
    s_ulCurrentKey = key;
    s_uwUserId = uwUserIdOf(key);
}

uint32_t BIG_cl_Fat::ul_GetNewKey() {
    const uint32_t current = s_ulCurrentKey;
    if (current == 0xFFFFFFFF) {
        ERR_X_Raise(
            "Assert",
            "You must set the user Id. Please continue and select the menu File/Advanced options/User Id");
        return 0xFFFFFFFF;
    }
    if ((current & kCounterMask) >= kCounterLimit)
        ERR_X_Raise(
            "EditorAssert",
            "Your current user Id is not valid anymore. You must get a new user Id.\nPlease contact the "
            "development team");

    PLT::SettingsStore store;
    bool readOk = false;
    uint32_t drawn = 0;
    const bool stored = store.Update([&](PLT::SettingsMap& map) {
        const auto section = map.find(kKeyPath);
        if (section == map.end())
            return false;
        const auto value = section->second.find(kKeyValue);
        if (value == section->second.end() || !std::holds_alternative<uint32_t>(value->second))
            return false;
        readOk = true;
        drawn = std::get<uint32_t>(value->second);
        value->second = drawn + 1;
        return true;
    });
    if (!readOk) {
        ERR_X_Raise("Assert", "ReadUserId : Cannot read user current key");
        return 0xFFFFFFFF;
    }
    if (!stored) {
        ERR_X_Raise("Assert", "ul_GetNewKey : Error while registering key");
        return 0xFFFFFFFF;
    }
    s_ulCurrentKey = drawn + 1;
    return drawn;
}

uint32_t BIG_cl_Fat::ul_GetCurrentKey() {
    return s_ulCurrentKey;
}

uint16_t BIG_cl_Fat::uw_GetUserId() {
    return s_uwUserId;
}

void BIG_cl_Fat::ResetUserKey() {
    s_ulCurrentKey = 0xFFFFFFFF;
    s_uwUserId = 0xFFF;
}
