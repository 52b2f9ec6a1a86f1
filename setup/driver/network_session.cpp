#include "network_session.h"

#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "setup/common/worker.h"
#include "setup/ui/messages.h"

namespace zan {
namespace {

ScopedHandle DuplicateEvent(HANDLE event) {
  HANDLE copy = nullptr;
  if (!event || !::DuplicateHandle(::GetCurrentProcess(), event, ::GetCurrentProcess(), &copy, 0, FALSE,
                                   DUPLICATE_SAME_ACCESS)) {
    return ScopedHandle();
  }
  return ScopedHandle(copy);
}

// Asks the main thread and waits for its answer or for the run's end.
bool AskThroughWindow(HWND mainWindow, const std::shared_ptr<ScopedHandle>& cancel, const std::wstring& proxy,
                      bool again, ProxyLogon* logon, bool* remember) {
  std::shared_ptr<ProxyPrompt> prompt = std::make_shared<ProxyPrompt>();
  prompt->proxy = proxy;
  prompt->again = again;
  prompt->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!prompt->done) return false;
  const HANDLE events[] = {prompt->done.get(), cancel->get()};
  if (!PostOwned(mainWindow, UM_PROXY_PROMPT, std::make_unique<std::shared_ptr<ProxyPrompt>>(prompt))) return false;
  if (::WaitForMultipleObjects(cancel->get() ? 2 : 1, events, FALSE, INFINITE) != WAIT_OBJECT_0 ||
      !prompt->answered) {
    return false;
  }
  *logon = prompt->logon;
  *remember = prompt->remember;
  prompt->logon.Wipe();
  return true;
}

}  // namespace

NetworkRun NetworkTicket::MakeRun() const {
  NetworkRun run;
  run.cancel = cancel.get();
  run.proxy = proxy;
  if (progressWindow) {
    HWND window = progressWindow;
    run.announceWait = [window](DWORD waitMs) {
      ::PostMessageW(window, UM_PROGRESS_WAITING, static_cast<WPARAM>((waitMs + 999) / 1000), 0);
    };
  }
  return run;
}

NetworkSession::NetworkSession(HWND mainWindow)
    : cancel_(std::make_shared<ScopedHandle>(::CreateEventW(nullptr, TRUE, FALSE, nullptr))) {
  std::shared_ptr<ScopedHandle> cancel = cancel_;
  proxy_ = std::make_shared<ProxyCredentials>(
      [mainWindow, cancel](const std::wstring& proxy, bool again, ProxyLogon* logon, bool* remember) {
        return AskThroughWindow(mainWindow, cancel, proxy, again, logon, remember);
      });
}

NetworkSession::~NetworkSession() { End(); }

NetworkTicket NetworkSession::Ticket(HWND progressWindow) const {
  NetworkTicket ticket;
  ticket.cancel = DuplicateEvent(cancel_->get());
  ticket.proxy = proxy_;
  ticket.progressWindow = progressWindow;
  return ticket;
}

void NetworkSession::End() {
  if (cancel_->get()) ::SetEvent(cancel_->get());
  proxy_->Wipe();
}

std::vector<std::wstring> SplitServerBases(const std::wstring& setting) {
  std::vector<std::wstring> bases;
  size_t begin = 0;
  while (begin <= setting.size()) {
    size_t end = setting.find(L';', begin);
    if (end == std::wstring::npos) end = setting.size();
    std::wstring base = setting.substr(begin, end - begin);
    begin = end + 1;
    const size_t first = base.find_first_not_of(L" \t");
    if (first == std::wstring::npos) continue;
    base = base.substr(first, base.find_last_not_of(L" \t") - first + 1);
    while (!base.empty() && base.back() == L'/') base.pop_back();
    if (!base.empty()) bases.push_back(base);
  }
  return bases;
}

std::vector<std::wstring> AddressesOnBases(const std::wstring& url, const std::vector<std::wstring>& bases) {
  std::vector<std::wstring> addresses{url};
  for (size_t i = 0; i < bases.size(); ++i) {
    const std::wstring& base = bases[i];
    if (url.size() <= base.size() || url.compare(0, base.size(), base) != 0 || url[base.size()] != L'/') continue;
    const std::wstring path = url.substr(base.size());
    for (size_t k = 1; k < bases.size(); ++k) addresses.push_back(bases[(i + k) % bases.size()] + path);
    break;
  }
  return addresses;
}

}  // namespace zan
