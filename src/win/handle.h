#pragma once

// One owning type per handle kind. Each owner closes its handle exactly once, on
// destruction or reset; closing never disturbs the caller's GetLastError().
// NULL and INVALID_HANDLE_VALUE both mean "no handle".

#include <windows.h>

#include <utility>

namespace korvan::win {

template <class Traits>
class Unique {
  public:
    using Raw = typename Traits::Raw;

    Unique() = default;
    explicit Unique(Raw raw) : raw_(raw) {}
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : raw_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~Unique() { reset(); }

    Raw get() const { return raw_; }
    bool valid() const { return Traits::valid(raw_); }
    explicit operator bool() const { return valid(); }

    // Gives up ownership without closing.
    Raw release() { return std::exchange(raw_, Traits::empty()); }

    void reset(Raw raw = Traits::empty()) {
        Raw old = std::exchange(raw_, raw);
        if (Traits::valid(old)) {
            const DWORD saved = GetLastError();
            Traits::close(old);
            SetLastError(saved);
        }
    }

    // For out-parameters: closes what is held and hands out the slot.
    Raw* put() {
        reset();
        return &raw_;
    }

  private:
    Raw raw_ = Traits::empty();
};

struct KernelHandleTraits {
    using Raw = HANDLE;
    static Raw empty() { return nullptr; }
    static bool valid(Raw h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(Raw h) { CloseHandle(h); }
};

struct ServiceHandleTraits {
    using Raw = SC_HANDLE;
    static Raw empty() { return nullptr; }
    static bool valid(Raw h) { return h != nullptr; }
    static void close(Raw h) { CloseServiceHandle(h); }
};

struct LocalMemoryTraits {
    using Raw = HLOCAL;
    static Raw empty() { return nullptr; }
    static bool valid(Raw h) { return h != nullptr; }
    static void close(Raw h) { LocalFree(h); }
};

struct ModuleTraits {
    using Raw = HMODULE;
    static Raw empty() { return nullptr; }
    static bool valid(Raw m) { return m != nullptr; }
    static void close(Raw m) { FreeLibrary(m); }
};

struct RegisteredWaitTraits {
    using Raw = HANDLE;
    static Raw empty() { return nullptr; }
    static bool valid(Raw h) { return h != nullptr; }
    static void close(Raw h) { UnregisterWaitEx(h, INVALID_HANDLE_VALUE); }
};

struct RegistryKeyTraits {
    using Raw = HKEY;
    static Raw empty() { return nullptr; }
    static bool valid(Raw k) { return k != nullptr; }
    static void close(Raw k) { RegCloseKey(k); }
};

// Kernel objects: files, pipes, processes, threads, jobs, tokens, completion ports.
using UniqueHandle = Unique<KernelHandleTraits>;
// Service Control Manager and service handles.
using UniqueServiceHandle = Unique<ServiceHandleTraits>;
// Memory the system allocated for us with LocalAlloc.
using UniqueLocal = Unique<LocalMemoryTraits>;
// A library loaded with LoadLibraryExW.
using UniqueModule = Unique<ModuleTraits>;
// A wait registered with RegisterWaitForSingleObject. Unregistering waits for a callback
// still running, so that nothing it uses goes first.
using UniqueRegisteredWait = Unique<RegisteredWaitTraits>;
// A registry key the caller opened or created; never a predefined key (HKEY_LOCAL_MACHINE).
using UniqueKey = Unique<RegistryKeyTraits>;

// A created process: its process handle and its primary thread handle.
struct UniqueProcess {
    UniqueHandle process;
    UniqueHandle thread;
};

}  // namespace korvan::win
