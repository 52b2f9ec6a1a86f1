// Worker threads: each owns a heap parameter block and frees it itself.
#pragma once

#include <windows.h>
#include <process.h>

#include <memory>

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

}  // namespace zan
