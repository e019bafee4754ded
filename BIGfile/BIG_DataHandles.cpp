#include "BIGfile/BIG_DataHandles.h"

#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

// Handles stay below 2^27, the item-index limit of the hash tables that may index them.
constexpr uint32_t kMaxHandles = (1u << 27) - 1;

struct Slots {
    std::mutex mutex;
    std::vector<void*> objects{nullptr};  // index = handle; slot 0 unused
    std::vector<uint32_t> free;
    std::unordered_map<void*, uint32_t> handles;
};

Slots& Table() {
    static Slots* slots = new Slots;  // lives until process exit, past every static destructor
    return *slots;
}

}  // namespace

namespace BIG::DataHandles {

uint32_t ul_Register(void* object) {
    if (object == nullptr)
        return 0;
    Slots& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto found = t.handles.find(object);
    if (found != t.handles.end())
        return found->second;
    uint32_t handle;
    if (!t.free.empty()) {
        handle = t.free.back();
        t.free.pop_back();
        t.objects[handle] = object;
    } else {
        if (t.objects.size() > kMaxHandles)
            return 0;
        handle = static_cast<uint32_t>(t.objects.size());
        t.objects.push_back(object);
    }
    t.handles.emplace(object, handle);
    return handle;
}

void* p_Get(uint32_t handle) {
    Slots& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    return handle < t.objects.size() ? t.objects[handle] : nullptr;
}

uint32_t ul_Find(void* object) {
    Slots& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto found = t.handles.find(object);
    return found == t.handles.end() ? 0 : found->second;
}

void Unregister(uint32_t handle) {
    Slots& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (handle == 0 || handle >= t.objects.size() || t.objects[handle] == nullptr)
        return;
    t.handles.erase(t.objects[handle]);
    t.objects[handle] = nullptr;
    t.free.push_back(handle);
}

uint32_t ul_Count() {
    Slots& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    return static_cast<uint32_t>(t.handles.size());
}

}  // namespace BIG::DataHandles
