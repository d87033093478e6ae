// The devices a back-end holds open in this process, by its own key (a path,
// a USB bus and address). The cable search leaves them out: a held device
// cannot be opened a second time, as with a driver that opens exclusively.
#pragma once

#include <mutex>
#include <set>

namespace vkt {

template <typename Key>
class HeldDevices {
  public:
    // False when the device is held already.
    bool claim(const Key& key) {
        std::lock_guard lock(lock_);
        return keys_.insert(key).second;
    }
    void release(const Key& key) {
        std::lock_guard lock(lock_);
        keys_.erase(key);
    }
    bool held(const Key& key) {
        std::lock_guard lock(lock_);
        return keys_.count(key) != 0;
    }

  private:
    std::mutex lock_;
    std::set<Key> keys_;
};

}  // namespace vkt
