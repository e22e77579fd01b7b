// The HTTP/1.1 client of the update download: one request at a time over a socket
// class (plain or TLS), the body stored in a file; CHtGet fetches one URL following
// redirects.
//
// Socket must offer Connect(host, port), Send(data, n), Receive(buffer, n) -> bytes,
// Close(), IsOpen() and SetUseTls(bool); every failure raises an ErrorNumber.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HtError.h"
#include "DiskFile.h"
#include "HtForm.h"
#include "HtHead.h"
#include "HtStream.h"
#include "Url.h"
#include "Version.h"

namespace qdrl {

enum class HtMethod { kGet = 0, kPostUrlEncoded = 1, kPostMultipart = 2, kHead = 3 };

// Progress of a transfer, written by the transferring thread and read by another.
struct HtProgress {
  enum Stage : int {
    kIdle = 0,
    kConnecting = 2,
    kSendingRequest = 3,
    kReceivingBody = 4,
    kSendingBody = 5
  };

  std::atomic<std::uint8_t> downloadMode{1};
  std::atomic<int> stage{kIdle};
  std::atomic<std::int64_t> total{-1};     // body size, -1 while not known
  std::atomic<std::int64_t> received{0};   // body bytes written so far
  std::atomic<int> status{0};              // the response's status once its head is read
  std::atomic<std::uint32_t> stageStart{0};  // tick count in ms when the body began

  void AddConnectTime(std::uint32_t milliseconds);
  std::vector<std::uint32_t> ConnectTimes() const;
  // Back to idle with nothing known, for the next response of a redirect chain.
  void Reset();

 private:
  mutable std::mutex connectTimesLock_;
  std::vector<std::uint32_t> connectTimes_;
};

struct HtProxy {
  std::u16string host;
  int port = 0;
  bool authenticate = false;
  std::u16string user;
  std::u16string password;
};

// Cookies kept between requests, in the order they were first stored.
class CHtCookieStore {
 public:
  // Stores one Set-Cookie value received for url; malformed values are ignored.
  void Store(std::string_view setCookie, const ParsedUrl& url);
  // The Cookie field's value for url; none when no cookie matches.
  std::optional<std::string> Text(const ParsedUrl& url) const;

 private:
  struct Cookie {
    std::string name, value, path, domain;
  };
  mutable std::mutex lock_;
  std::vector<Cookie> cookies_;
};

// "Basic " and the Base64 of "user:password" in UTF-8; none when a name is not UTF-16.
std::optional<std::string> BasicCredentials(std::u16string_view user, std::u16string_view password);

// "Quadrel 1.02.0 64-bit; Windows NT 10.0" for product Quadrel 1.0.2.0 on Windows 10.
std::string FormatUserAgent(std::u16string_view productName, const ProductVersion& version,
                            unsigned osMajor, unsigned osMinor);

// The request head for url, through proxy when there is one, with a form's header
// fields and the Cookie field when cookies is given.
std::string BuildRequestHead(HtMethod method, const ParsedUrl& url, const std::string& userAgent,
                             const HtProxy* proxy, const std::string& formHeaders,
                             const std::optional<std::string>& cookies);

// Milliseconds of a steady clock, wrapping like the system tick count.
std::uint32_t HtTickCount();

template <class Socket>
class CHtClient : public Socket {
 public:
  explicit CHtClient(std::string userAgent) : userAgent_(std::move(userAgent)) {}

  // Bodies larger than this fail with kErrorBodyTooLarge unless SetBodyLimit says
  // otherwise: no update installer comes near it.
  static constexpr std::uint64_t kDefaultBodyLimit = std::uint64_t{1} << 30;

  void SetProxy(const HtProxy* proxy) { proxy_ = proxy; }
  void SetBodyLimit(std::uint64_t limit) { bodyLimit_ = limit; }
  void SetCookieStore(CHtCookieStore* store) { cookies_ = store; }

  // Sends one request (with form for the two POST methods) and stores the response
  // body (unless method is HEAD) at destination. On failure the connection is closed
  // and LastError tells why.
  bool Request(HtMethod method, const ParsedUrl& url, const std::filesystem::path& destination,
               HtProgress* progress, const HtForm* form = nullptr) {
    CDiskFile file;
    const bool done = Transfer(method, url, progress, form, [&]() -> CDiskFile& {
      file.Open(destination, disk_file::kCreateForWriting);
      return file;
    });
    if (!file.Close() && done) {
      lastError_ = kErrorFileIo;
      this->Close();
      return false;
    }
    return done;
  }

  // As above, the body replacing the content of a file its caller holds open.
  bool Request(HtMethod method, const ParsedUrl& url, CDiskFile& body, HtProgress* progress,
               const HtForm* form = nullptr) {
    return Transfer(method, url, progress, form, [&]() -> CDiskFile& {
      body.SetLength(0);
      return body;
    });
  }

  ErrorNumber LastError() const { return lastError_; }
  const CHtRespHead& ResponseHead() const { return head_; }

 private:
  // The request and its response; bodyFile gives the file the body goes to once the
  // head says there is one.
  template <class BodyFile>
  bool Transfer(HtMethod method, const ParsedUrl& url, HtProgress* progress, const HtForm* form,
                BodyFile bodyFile) {
    try {
      bool close = SendAndReadHead(method, url, progress, form);
      if (method != HtMethod::kHead) {
        CDiskFile& file = bodyFile();
        RecordStage(progress, HtProgress::kReceivingBody);
        close = ReadBody(file, progress) || close;
      }
      if (close) this->Close();
      return true;
    } catch (ErrorNumber error) {
      lastError_ = error;
    } catch (const CDiskFileException&) {
      lastError_ = kErrorFileIo;
    }
    this->Close();
    return false;
  }

  static bool IsForm(HtMethod method) {
    return method == HtMethod::kPostUrlEncoded || method == HtMethod::kPostMultipart;
  }

  static void RecordStage(HtProgress* progress, HtProgress::Stage stage) {
    if (progress == nullptr) return;
    if (stage == HtProgress::kSendingBody && progress->downloadMode != 0) return;
    if (stage == HtProgress::kReceivingBody || stage == HtProgress::kSendingBody) {
      progress->stageStart = HtTickCount();
    }
    progress->stage = stage;
  }

  void ConnectFor(const ParsedUrl& url, HtProgress* progress) {
    RecordStage(progress, HtProgress::kConnecting);
    const auto started = std::chrono::steady_clock::now();
    if (proxy_ != nullptr) {
      this->Connect(proxy_->host, proxy_->port);
    } else {
      this->Connect(url.hostWide, url.port);
    }
    reader_.Reset();
    if (progress != nullptr) {
      const auto elapsed = std::chrono::steady_clock::now() - started;
      progress->AddConnectTime(static_cast<std::uint32_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    }
  }

  // Connects when needed, sends the request, reads and parses the response head (after
  // any interim 100 answers to a form), and stores its cookies; true when the
  // connection must be closed afterwards.
  bool SendAndReadHead(HtMethod method, const ParsedUrl& url, HtProgress* progress,
                       const HtForm* form) {
    if (!this->IsOpen()) ConnectFor(url, progress);
    RecordStage(progress, HtProgress::kSendingRequest);
    std::optional<CHtFormBody> body;
    static const HtForm kNoFields;
    if (IsForm(method)) {
      body.emplace(form != nullptr ? *form : kNoFields, method == HtMethod::kPostMultipart);
    }
    std::optional<std::string> cookieText;
    if (cookies_ != nullptr) cookieText = cookies_->Text(url);
    const std::string request = BuildRequestHead(method, url, userAgent_, proxy_,
                                                 body ? body->Headers() : std::string(), cookieText);
    this->Send(request.data(), request.size());
    if (body) {
      RecordStage(progress, HtProgress::kSendingBody);
      body->Send([this](const char* data, std::size_t n) { this->Send(data, n); });
    }
    do {
      if (!head_.Parse(ReadResponseHead(reader_))) throw kErrorBadResponseHead;
    } while (body && head_.Status() == 100);
    if (progress != nullptr) progress->status = head_.Status();
    if (cookies_ != nullptr) {
      for (const auto& field : head_.Fields()) {
        if (EqualsIgnoringCase(field.name, "Set-Cookie")) cookies_->Store(field.value, url);
      }
    }
    return ShouldCloseConnection(head_, proxy_ != nullptr);
  }

  // Reads the body into file; true when it ran to the end of the connection.
  bool ReadBody(CDiskFile& file, HtProgress* progress) {
    std::int64_t written = 0;
    auto sink = [&](const char* data, std::size_t n) {
      if (static_cast<std::uint64_t>(written) + n > bodyLimit_) throw kErrorBodyTooLarge;
      file.Write(data, n);
      written += static_cast<std::int64_t>(n);
      if (progress != nullptr) progress->received = written;
    };
    bool toClose = false;
    if (head_.Find("transfer-encoding") != nullptr) {
      ReadChunkedBody(reader_, sink);
    } else if (const auto* length = head_.Find("content-length")) {
      const std::uint64_t total = ParseContentLength(*length);
      if (total > bodyLimit_) throw kErrorBodyTooLarge;
      if (progress != nullptr) progress->total = static_cast<std::int64_t>(total);
      CopyBody(reader_, total, sink);
    } else {
      ReadBodyToClose(reader_, sink);
      toClose = true;
    }
    if (progress != nullptr) {
      progress->total = written;
      progress->received = written;
    }
    return toClose;
  }

  std::string userAgent_;
  std::uint64_t bodyLimit_ = kDefaultBodyLimit;
  const HtProxy* proxy_ = nullptr;
  CHtCookieStore* cookies_ = nullptr;
  ErrorNumber lastError_ = 0;
  CHtRespHead head_;
  CHtLineReader<Socket> reader_{*this};
};

// Fetches one URL into a file, following up to ten redirects.
template <class Socket>
class CHtGet : public CHtClient<Socket> {
 public:
  static constexpr int kRedirectLimit = 10;

  CHtGet(std::u16string url, HtProgress* progress, std::string userAgent)
      : CHtClient<Socket>(std::move(userAgent)), url_(std::move(url)), progress_(progress) {}

  // Asks for the head only; nothing is written.
  void SetHeadOnly(bool headOnly) { headOnly_ = headOnly; }

  // Fetches into destination (a path, or a CDiskFile open for writing whose content
  // the body replaces); on failure FinalError tells why. The connection is closed
  // afterwards either way.
  template <class Destination>
  bool Fetch(Destination&& destination) {
    bool fetched = false;
    try {
      FetchFollowingRedirects(destination);
      fetched = true;
    } catch (ErrorNumber error) {
      finalError_ = error;
    }
    this->Close();
    return fetched;
  }

  ErrorNumber FinalError() const { return finalError_; }

 private:
  static bool IsRedirect(int status) {
    return status == 300 || status == 301 || status == 302 || status == 303 || status == 307;
  }

  static ParsedUrl ParseOrThrow(const std::u16string& url, ErrorNumber invalid) {
    if (!HasHttpScheme(url)) throw invalid;
    auto parsed = ParseUrl(NormaliseUrl(url));
    if (!parsed) throw invalid;
    return std::move(*parsed);
  }

  // The next URL from the Location field of a redirect answering a request for url.
  std::u16string RedirectTarget(const ParsedUrl& url) const {
    const std::string* location = this->ResponseHead().Find("Location");
    if (location == nullptr || location->empty()) throw kErrorBadRedirect;
    std::string absolute = *location;
    if (absolute.front() == '/') {
      absolute = (url.secure ? "https://" : "http://") + HostString(url) + absolute;
    }
    auto decoded = Utf8ToUtf16(absolute);
    if (!decoded) throw kErrorBadLocation;
    return std::move(*decoded);
  }

  // Once a fetch has gone over https it never goes on over plain http: a redirect
  // down to it is refused.
  template <class Destination>
  void FetchFollowingRedirects(Destination&& destination) {
    std::u16string current = url_;
    bool wentSecure = false;
    std::optional<std::string> previousHost;
    bool previousSecure = false;
    for (int attempt = 1;; ++attempt) {
      const ParsedUrl url = ParseOrThrow(current, attempt == 1 ? kErrorBadUrl : kErrorBadRedirectUrl);
      if (wentSecure && !url.secure) throw kErrorBadRedirect;
      wentSecure = wentSecure || url.secure;
      const std::string host = HostString(url);
      if (this->IsOpen() && previousHost &&
          (!EqualsIgnoringCase(host, *previousHost) || url.secure != previousSecure)) {
        this->Close();
      }
      if (!this->IsOpen()) this->SetUseTls(url.secure);
      const HtMethod method = headOnly_ ? HtMethod::kHead : HtMethod::kGet;
      if (!this->Request(method, url, destination, progress_)) throw this->LastError();
      const int status = this->ResponseHead().Status();
      if (status == 200) return;
      if (!IsRedirect(status)) throw HttpStatusError(status);
      if (attempt > kRedirectLimit) throw kErrorTooManyRedirects;
      current = RedirectTarget(url);
      if (progress_ != nullptr) progress_->Reset();
      previousHost = host;
      previousSecure = url.secure;
    }
  }

  std::u16string url_;
  HtProgress* progress_;
  bool headOnly_ = false;
  ErrorNumber finalError_ = 0;
};

}  // namespace qdrl
