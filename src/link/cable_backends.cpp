#include "link/cable_backends.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace vkt {
namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string, CableBackendFactory> factories{
        {"tty", makeTtyCableDriver},
        {"ftdi", makeFtdiCableDriver},
    };
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

void registerCableBackend(std::string name, CableBackendFactory factory) {
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    r.factories[std::move(name)] = std::move(factory);
}

std::vector<std::string> cableBackendNames() {
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    std::vector<std::string> names;
    for (const auto& entry : r.factories)
        names.push_back(entry.first);
    return names;
}

std::shared_ptr<CableDriver> createCableDriver(const std::string& name, std::string& error) {
    CableBackendFactory factory;
    {
        Registry& r = registry();
        std::lock_guard lock(r.lock);
        auto it = r.factories.find(name);
        if (it != r.factories.end())
            factory = it->second;
    }
    if (!factory) {
        std::string known;
        for (const auto& n : cableBackendNames())
            known += (known.empty() ? "" : ", ") + n;
        error = "unknown cable back-end \"" + name + "\" (known: " + known + ")";
        return nullptr;
    }
    auto driver = factory();
    if (!driver)
        error = "the cable back-end \"" + name + "\" could not be started";
    return driver;
}

std::string defaultCableBackendName() {
    const char* env = std::getenv("VKT_CABLE_BACKEND");
    if (env != nullptr && *env != '\0')
        return env;
    return "tty";
}

}  // namespace vkt
