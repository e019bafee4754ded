// Process-wide singleton holders.
//
// DPT::Singleton<T> holds at most one T per process. Two ways to use it:
//  - on first use: Instance() creates the object the first time any thread
//    asks for it (creation is serialised; later calls take no lock);
//  - in a fixed order: an engine start calls bCreate() for each of its
//    singletons in order and its shutdown calls Destroy() in reverse order.
//
// Destroy() must only run when no other thread can still use the object
// (engine shutdown); after it, Instance() would create a fresh one and pGet()
// returns null. Instance() needs a default constructor; bCreate() passes its
// arguments to T's constructor (a component built from the ones before it).
#pragma once

#include <atomic>
#include <mutex>
#include <utility>

namespace DPT {

template <class T>
class Singleton {
public:
    static T& Instance() {
        T* object = s_object.load(std::memory_order_acquire);
        if (object)
            return *object;
        std::lock_guard<std::mutex> lock(s_mutex);
        object = s_object.load(std::memory_order_relaxed);
        if (!object) {
            object = new T();
            s_object.store(object, std::memory_order_release);
        }
        return *object;
    }

    // The object, or null when it was never created or has been destroyed.
    static T* pGet() { return s_object.load(std::memory_order_acquire); }

    // Creates the object from `args`; false (and nothing changes, the
    // arguments unused) when it already exists.
    template <class... Args>
    static bool bCreate(Args&&... args) {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (s_object.load(std::memory_order_relaxed))
            return false;
        s_object.store(new T(std::forward<Args>(args)...), std::memory_order_release);
        return true;
    }

    // Deletes the object if there is one.
    static void Destroy() {
        T* object;
        {
            std::lock_guard<std::mutex> lock(s_mutex);
            object = s_object.exchange(nullptr, std::memory_order_acq_rel);
        }
        delete object;
    }

private:
    static inline std::atomic<T*> s_object{nullptr};
    static inline std::mutex s_mutex;
};

}  // namespace DPT
