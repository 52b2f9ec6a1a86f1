// The user-interface thread's message loop with its message filters.
#pragma once

#include <windows.h>

#include <vector>

namespace zan {

class MessageFilter {
 public:
  virtual ~MessageFilter() = default;
  virtual bool PreTranslateMessage(MSG* msg) = 0;
};

class MessageLoop {
 public:
  // Registers itself as the thread's loop for as long as it lives.
  MessageLoop();
  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  static MessageLoop* Current();

  void AddFilter(MessageFilter* filter);
  void RemoveFilter(MessageFilter* filter);

  // Runs until WM_QUIT; returns its exit code.
  int Run();

 private:
  bool Filter(MSG* msg);

  std::vector<MessageFilter*> filters_;
  MessageLoop* previous_;
};

}  // namespace zan
