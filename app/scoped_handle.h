// Owners for what the program acquires from Windows: each is given back once,
// when its owner leaves scope, on every return path.
#pragma once

#include <windows.h>

#include <objbase.h>

// A handle and the function that closes it, e.g.
// ScopedHandle<HKEY, RegCloseKey>. A null handle is never closed.
template <class Handle, auto Close>
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(Handle handle) : handle_(handle) {}
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ~ScopedHandle()
    {
        if (handle_ != nullptr) {
            Close(handle_);
        }
    }
    Handle Get() const { return handle_; }
    // For a function that returns the handle through a pointer.
    Handle* Put() { return &handle_; }
    // Ownership passed on, e.g. to the clipboard: nothing closes it here.
    void Release() { handle_ = nullptr; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    Handle handle_ = nullptr;
};

// One reference of a COM interface.
template <class Interface>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr()
    {
        if (pointer_ != nullptr) {
            pointer_->Release();
        }
    }
    Interface* operator->() const { return pointer_; }
    Interface* Get() const { return pointer_; }
    void** PutVoid() { return reinterpret_cast<void**>(&pointer_); }

private:
    Interface* pointer_ = nullptr;
};

// COM on this thread for the owner's scope. Only a call that succeeded is
// balanced: uninitialising after a refused one would end another owner's COM.
class ScopedCom {
public:
    explicit ScopedCom(DWORD model) : initialized_(SUCCEEDED(CoInitializeEx(nullptr, model))) {}
    ScopedCom(const ScopedCom&) = delete;
    ScopedCom& operator=(const ScopedCom&) = delete;
    ~ScopedCom()
    {
        if (initialized_) {
            CoUninitialize();
        }
    }

private:
    bool initialized_;
};
