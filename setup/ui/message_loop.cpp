#include "message_loop.h"

#include <algorithm>

namespace zan {
namespace {

thread_local MessageLoop* t_current = nullptr;

}  // namespace

MessageLoop::MessageLoop() : previous_(t_current) { t_current = this; }
MessageLoop::~MessageLoop() { t_current = previous_; }

MessageLoop* MessageLoop::Current() { return t_current; }

void MessageLoop::AddFilter(MessageFilter* filter) {
  if (std::find(filters_.begin(), filters_.end(), filter) == filters_.end()) {
    filters_.push_back(filter);
  }
}

void MessageLoop::RemoveFilter(MessageFilter* filter) {
  filters_.erase(std::remove(filters_.begin(), filters_.end(), filter), filters_.end());
}

// Later filters first, so the most recently shown dialog sees its keys.
bool MessageLoop::Filter(MSG* msg) {
  std::vector<MessageFilter*> snapshot(filters_.rbegin(), filters_.rend());
  for (MessageFilter* filter : snapshot) {
    if (filter->PreTranslateMessage(msg)) return true;
  }
  return false;
}

int MessageLoop::Run() {
  MSG msg;
  for (;;) {
    BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(msg.wParam);
    if (got == -1) return 0;
    if (Filter(&msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

}  // namespace zan
