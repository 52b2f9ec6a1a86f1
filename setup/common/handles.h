// Move-only owners for the Windows handle kinds the program uses. Each kind
// knows its own empty value and its own close call, so closing is never a
// caller's chore.
#pragma once

#include <windows.h>

#include <utility>

namespace zan {

template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() : value_(Traits::Empty()) {}
  explicit UniqueHandle(Type value) : value_(value) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  Type get() const { return value_; }
  bool valid() const { return value_ != Traits::Empty(); }
  explicit operator bool() const { return valid(); }

  // The caller owns the value now; dropping it would leak the handle.
  [[nodiscard]] Type release() {
    Type value = value_;
    value_ = Traits::Empty();
    return value;
  }

  // Closing keeps the thread's last error, so a handle that goes out of
  // scope on a failure path leaves the failure's code for the caller.
  void reset(Type value = Traits::Empty()) {
    if (valid()) {
      DWORD error = ::GetLastError();
      Traits::Close(value_);
      ::SetLastError(error);
    }
    value_ = value;
  }

 private:
  Type value_;
};

// Events, processes, threads, jobs, mutexes: NULL means none.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { ::CloseHandle(h); }
};

// Files and Toolhelp snapshots: INVALID_HANDLE_VALUE means none.
struct FileHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};

struct FindHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::FindClose(h); }
};

struct RegKeyTraits {
  using Type = HKEY;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { ::RegCloseKey(h); }
};

// A mapped view of a file: null means none.
struct MappedViewTraits {
  using Type = const void*;
  static Type Empty() { return nullptr; }
  static void Close(Type view) { ::UnmapViewOfFile(view); }
};

using ScopedHandle = UniqueHandle<KernelHandleTraits>;
using ScopedFile = UniqueHandle<FileHandleTraits>;
using ScopedFind = UniqueHandle<FindHandleTraits>;
using ScopedRegKey = UniqueHandle<RegKeyTraits>;
using ScopedView = UniqueHandle<MappedViewTraits>;

// A critical section with a scoped holder; neither can be copied.
class CriticalSection {
 public:
  CriticalSection() { ::InitializeCriticalSection(&section_); }
  ~CriticalSection() { ::DeleteCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { ::EnterCriticalSection(&section_); }
  void Leave() { ::LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

class ScopedLock {
 public:
  explicit ScopedLock(CriticalSection& section) : section_(section) { section_.Enter(); }
  ~ScopedLock() { section_.Leave(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  CriticalSection& section_;
};

// GetLastError as an HRESULT that is never S_OK, even when the failing call
// forgot to set an error code.
inline HRESULT HResultFromLastError() {
  DWORD error = ::GetLastError();
  return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

}  // namespace zan
