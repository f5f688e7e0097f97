#include "platform/class_registry.h"

#include <map>
#include <mutex>
#include <stdexcept>

namespace {

struct TRegistry {
    std::mutex Lock;
    std::map<std::string, const TRegisteredClass*, std::less<>> Classes;
};

// Made on first use, so units may register from their static start-up.
TRegistry& Registry()
{
    static TRegistry registry;
    return registry;
}

} // namespace

void RegisterClass(const TRegisteredClass& cls)
{
    TRegistry& r = Registry();
    std::lock_guard guard(r.Lock);
    auto [it, added] = r.Classes.emplace(cls.ClassName(), &cls);
    if (!added && it->second != &cls)
        throw std::logic_error("Two classes named " + cls.ClassName());
}

const TRegisteredClass* GetClass(std::string_view className)
{
    TRegistry& r = Registry();
    std::lock_guard guard(r.Lock);
    auto it = r.Classes.find(className);
    return it == r.Classes.end() ? nullptr : it->second;
}
