#pragma once

#include <QObject>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

// The bases every class of the internet component library stands on: the
// root exception, a per-object property lock, the run-time library loaders'
// base and the components' bases with their read-only Version.
//
// Decisions:
// - The property lock is always taken. The "lock only once the process runs a
//   second thread" shortcut would leave a region taken before the second
//   thread started unprotected once it runs; an uncontended lock costs little.
// - A run-time library is a TIpModule found by file name through a
//   TIpModuleLoader: the program's loaders offer our own bindings under the
//   Windows file names, tests offer others.
// - Components are QObjects owned by their form (Qt parent); window controls
//   are QWidgets.

// The library's version number and its texts ("v1.16" and 0xDF).
inline constexpr double IpLibraryVersion = 1.16;
std::string IpShortVersion();
std::string IpLongVersion();

class EIpBaseException : public std::runtime_error {
public:
    explicit EIpBaseException(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// An entry point of a run-time library that cannot be had.
class EIpAccessException : public EIpBaseException {
public:
    using EIpBaseException::EIpBaseException;
};

// Stands in the class tree for HTML handling; nothing raises it.
class EIpHtmlException : public EIpBaseException {
public:
    using EIpBaseException::EIpBaseException;
};

// The per-object lock of the library's classes. Re-entrant, so a getter
// may call another getter of the same object under the lock.
class TIpPropertyLock {
public:
    void LockProperties() const { FLock.lock(); }
    void UnlockProperties() const { FLock.unlock(); }
    // Holds the lock until the guard goes, on every way out.
    [[nodiscard]] std::unique_lock<std::recursive_mutex> PropertyGuard() const
    {
        return std::unique_lock<std::recursive_mutex>(FLock);
    }

private:
    mutable std::recursive_mutex FLock;
};

// An entry point as the loaders hand it out; the getter that asked for it
// casts it back to the function's own type.
using TIpProc = void (*)();

// A library bound at run time.
class TIpModule {
public:
    virtual ~TIpModule() = default;
    // The entry point of that exported name, or null.
    virtual TIpProc GetProcAddress(std::string_view name) = 0;
};

// Finds and loads run-time libraries by file name.
class TIpModuleLoader {
public:
    virtual ~TIpModuleLoader() = default;
    // Whether the file is there to be loaded; nothing is loaded.
    virtual bool FileExists(const std::string& fileName) = 0;
    // The loaded library, or null when it does not load.
    virtual std::unique_ptr<TIpModule> LoadLibrary(const std::string& fileName) = 0;
};

// Base of the run-time library loaders: the loaded library and the lock that
// guards the entry-point cache.
class TIpBaseAccess : public TIpPropertyLock {
public:
    TIpBaseAccess() = default;
    virtual ~TIpBaseAccess() = default;
    TIpBaseAccess(const TIpBaseAccess&) = delete;
    TIpBaseAccess& operator=(const TIpBaseAccess&) = delete;

protected:
    // Under the lock: the slot's entry point, looked up by name in the module
    // when the slot is still empty (a failed look-up leaves it empty, so the
    // next call tries again). Raises EIpAccessException naming the function
    // when it cannot be had; the lock is released on every way out.
    TIpProc Resolve(TIpProc& slot, std::string_view name);

    // The library a descendant loaded; null while none is.
    std::unique_ptr<TIpModule> FModule;
};

// Base of persistent settings objects that carry their own lock.
class TIpBasePersistent : public TIpPropertyLock {
public:
    TIpBasePersistent() = default;
    virtual ~TIpBasePersistent() = default;
};

// A class's debug-log text function. A log keeps it in place of the writer's
// class and calls it, with no object, when it writes the entry out. A data
// entry's bytes come as `data` (a 4-byte field cannot hold their address).
using TIpLogStringClass = std::string (*)(uint32_t d1, uint32_t d2, uint32_t d3, uint32_t d4,
                                          std::string_view data);

// Base of the library's non-visual components.
class TIpBaseComponent : public QObject {
    Q_OBJECT
public:
    explicit TIpBaseComponent(QObject* owner = nullptr) : QObject(owner) {}

    // The text of one debug-log entry of this class; the base knows none.
    static std::string GetLogString(uint32_t d1, uint32_t d2, uint32_t d3, uint32_t d4,
                                    std::string_view data = {});
    // The GetLogString of the object's own class. A class that writes log
    // entries overrides both.
    virtual TIpLogStringClass LogStringClass() const { return &TIpBaseComponent::GetLogString; }

    std::string GetVersion() const { return IpShortVersion(); }
    // Accepted and ignored: the version is read-only.
    void SetVersion(const std::string&) {}
};

// Base of the library's window controls.
class TIpBaseWinControl : public QWidget {
    Q_OBJECT
public:
    explicit TIpBaseWinControl(QWidget* parent = nullptr) : QWidget(parent) {}

    std::string GetVersion() const { return IpShortVersion(); }
    void SetVersion(const std::string&) {}
};

// Frees the object after emptying the variable, so nothing reached from the
// destructor finds it half gone. An empty variable is left alone.
template <typename T> void IpSafeFree(std::unique_ptr<T>& object)
{
    std::unique_ptr<T> taken = std::move(object);
    object.reset();
    taken.reset();
}
