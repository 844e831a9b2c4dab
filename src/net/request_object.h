#pragma once

#include <functional>
#include <memory>

#include "text/text.h"

namespace wuqu {

// The members of the HTTP request object that the program drives, after the
// automation object "WinHttp.WinHttpRequest.5.1". Texts are program text
// (code page 936); numbers are plain integers.
class RequestObject {
 public:
  virtual ~RequestObject() = default;

  // Resolve, connect, send and receive time-outs in milliseconds; 0 or below
  // means no limit for that phase.
  virtual void SetTimeouts(int resolve_ms, int connect_ms, int send_ms, int receive_ms) = 0;
  // `setting` 2 uses `proxy` ("host:port"); 1 goes direct; 0 falls back on the
  // machine's own proxy settings.
  virtual void SetProxy(int setting, const Text& proxy) = 0;
  // `flags` 1: credentials for the proxy; 0: for the server.
  virtual void SetCredentials(const Text& user, const Text& password, int flags) = 0;
  virtual void Open(const Text& method, const Text& url, bool async) = 0;
  // Writes option `index` (6: follow redirects, 4: certificate errors to ignore).
  virtual void SetOption(int index, int value) = 0;
  virtual void SetRequestHeader(const Text& name, const Text& value) = 0;
  virtual void Send(const ByteArray& body) = 0;
  virtual void Send(const Text& body) = 0;
  virtual ByteArray ResponseBody() = 0;
  // Every header line of the final response, "Name: value" and CR LF each.
  virtual Text GetAllResponseHeaders() = 0;
  // The response's status code; 0 when no response arrived.
  virtual int Status() = 0;
};

// Option indexes and values of the request object.
inline constexpr int kOptionSslErrorIgnoreFlags = 4;
inline constexpr int kOptionEnableRedirects = 6;
inline constexpr int kSecurityFlagIgnoreUnknownCa = 0x0100;
inline constexpr int kSecurityFlagIgnoreCertWrongUsage = 0x0200;
inline constexpr int kSecurityFlagIgnoreCertCnInvalid = 0x1000;
inline constexpr int kSecurityFlagIgnoreCertDateInvalid = 0x2000;
inline constexpr int kProxySettingDefault = 0;
inline constexpr int kProxySettingDirect = 1;
inline constexpr int kProxySettingProxy = 2;

using RequestObjectFactory = std::function<std::shared_ptr<RequestObject>()>;

// Creates a new request object through the process-wide factory (by default
// the curl one). Null when the object cannot be created.
std::shared_ptr<RequestObject> CreateRequestObject();

// Replaces the process-wide factory for its own lifetime, then puts the
// previous one back.
class ScopedRequestObjectFactory {
 public:
  explicit ScopedRequestObjectFactory(RequestObjectFactory factory);
  ~ScopedRequestObjectFactory();
  ScopedRequestObjectFactory(const ScopedRequestObjectFactory&) = delete;
  ScopedRequestObjectFactory& operator=(const ScopedRequestObjectFactory&) = delete;

 private:
  RequestObjectFactory previous_;
};

}  // namespace wuqu
