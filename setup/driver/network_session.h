// The run's side of the network: the cancel event that ends every wait and
// download when the run ends, the proxy credentials all its requests share,
// and the way a worker asks the user for them through the main window.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "setup/common/handles.h"
#include "setup/http/network_run.h"
#include "setup/http/proxy_credentials.h"

namespace zan {

// A worker's question for proxy credentials, answered on the main thread
// (UM_PROXY_PROMPT carries a heap std::shared_ptr of it, PostOwned): the
// worker and the main thread both hold it, so either may go first.
struct ProxyPrompt {
  std::wstring proxy;
  bool again = false;
  ProxyLogon logon;
  bool remember = false;
  bool answered = false;
  // Set once the main thread is done with it, answered or not.
  ScopedHandle done;
};

// What one worker takes along: a handle of its own to the run's cancel
// event, the shared credentials and the window that shows waits.
struct NetworkTicket {
  ScopedHandle cancel;
  std::shared_ptr<ProxyCredentials> proxy;
  // Told of each wait (UM_PROGRESS_WAITING); null: nobody.
  HWND progressWindow = nullptr;

  // The run for this worker's requests; it refers to this ticket's handle.
  NetworkRun MakeRun() const;
};

class NetworkSession {
 public:
  // Proxy prompts go to `mainWindow` as UM_PROXY_PROMPT.
  explicit NetworkSession(HWND mainWindow);
  ~NetworkSession();
  NetworkSession(const NetworkSession&) = delete;
  NetworkSession& operator=(const NetworkSession&) = delete;

  NetworkTicket Ticket(HWND progressWindow) const;
  // The run ends: every wait and download ends, and the credentials are wiped.
  void End();

 private:
  std::shared_ptr<ScopedHandle> cancel_;
  std::shared_ptr<ProxyCredentials> proxy_;
};

// The bases of the server-base build setting, separated by ";", in order,
// each without a trailing "/".
std::vector<std::wstring> SplitServerBases(const std::wstring& setting);

// `url` and, when it lies on one of `bases`, the same path on each other
// base in turn after it: a document is asked for on each base the same way.
std::vector<std::wstring> AddressesOnBases(const std::wstring& url, const std::vector<std::wstring>& bases);

}  // namespace zan
