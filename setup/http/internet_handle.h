// Owners for WinINet handles. An operation keeps its internet, connection and
// request handles in one InternetHandles and gets them closed, request first,
// however it returns.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "setup/common/handles.h"

namespace zan {

struct InternetHandleTraits {
  using Type = HINTERNET;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { ::InternetCloseHandle(h); }
};

using ScopedInternet = UniqueHandle<InternetHandleTraits>;

struct InternetHandles {
  InternetHandles() = default;
  InternetHandles(const InternetHandles&) = delete;
  InternetHandles& operator=(const InternetHandles&) = delete;
  ~InternetHandles() { Close(); }

  // A request must go before its connection, and both before the session.
  void Close() {
    request.reset();
    connection.reset();
    internet.reset();
  }

  ScopedInternet internet;
  ScopedInternet connection;
  ScopedInternet request;
};

}  // namespace zan
