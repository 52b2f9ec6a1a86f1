// Worker threads: each owns a heap parameter block and frees it itself.
#pragma once

#include <windows.h>
#include <process.h>

#include <memory>
#include <new>

#include "log.h"

namespace zan {

// Starts `body` on a new thread with `block`, whose ownership passes to the
// thread; the thread handle is closed at once. False (and the block freed)
// when no thread could be started.
template <typename Block>
bool StartWorker(unsigned(__stdcall* body)(void*), std::unique_ptr<Block> block) {
  uintptr_t thread = _beginthreadex(nullptr, 0, body, block.get(), 0, nullptr);
  if (!thread) return false;
  static_cast<void>(block.release());
  ::CloseHandle(reinterpret_cast<HANDLE>(thread));
  return true;
}

// The worker's side: takes the block back into an owner.
template <typename Block>
std::unique_ptr<Block> TakeBlock(void* param) {
  return std::unique_ptr<Block>(static_cast<Block*>(param));
}

// Posts `message` with `payload` as its wParam; the payload then belongs to
// the message, and whoever handles it takes it with TakeOwned. When the post
// fails the payload is freed here, so there is one owner at every moment.
template <typename T>
bool PostOwned(HWND window, UINT message, std::unique_ptr<T> payload) {
  if (!::PostMessageW(window, message, reinterpret_cast<WPARAM>(payload.get()), 0)) return false;
  static_cast<void>(payload.release());
  return true;
}

// The receiving side of PostOwned, called for every such message it gets,
// used or not.
template <typename T>
std::unique_ptr<T> TakeOwned(WPARAM wParam) {
  return std::unique_ptr<T>(reinterpret_cast<T*>(wParam));
}

// Runs `body` on a worker thread (or any entry the platform calls) so that
// no exception escapes it and ends the process: an exception is logged with
// `what` and gives false, and the caller then takes its failure path.
template <typename Body>
bool RunGuarded(const wchar_t* what, Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (const std::bad_alloc&) {
    WriteLog(L"%s ended early: out of memory", what);
  } catch (...) {
    WriteLog(L"%s ended early on an unexpected exception", what);
  }
  return false;
}

}  // namespace zan
