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
  block.release();
  ::CloseHandle(reinterpret_cast<HANDLE>(thread));
  return true;
}

// The worker's side: takes the block back into an owner.
template <typename Block>
std::unique_ptr<Block> TakeBlock(void* param) {
  return std::unique_ptr<Block>(static_cast<Block*>(param));
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
