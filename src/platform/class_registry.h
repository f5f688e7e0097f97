#pragma once

#include <string>
#include <string_view>

// The classes a stored or received class name may stand for. A unit
// registers its classes at start; a name then finds its class again, and
// the class record makes the objects (each kind of record adds the making
// that fits its family). Registering and looking up are safe from any
// thread.
class TRegisteredClass {
public:
    explicit TRegisteredClass(std::string className) : FClassName(std::move(className)) {}
    virtual ~TRegisteredClass() = default;
    TRegisteredClass(const TRegisteredClass&) = delete;
    TRegisteredClass& operator=(const TRegisteredClass&) = delete;
    const std::string& ClassName() const { return FClassName; }

private:
    std::string FClassName;
};

// Registering a class twice changes nothing; another class under a name
// already taken is a programming error (std::logic_error).
void RegisterClass(const TRegisteredClass& cls);
// The class registered under the name, or null.
const TRegisteredClass* GetClass(std::string_view className);
