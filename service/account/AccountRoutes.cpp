#include "AccountService.h"
#include "ServerFront.h"
#include "ItemSignature.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <climits>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#else
#undef SYS_openat2
#endif

namespace cvservice {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::size_t kMaxRequestBody = 1 << 20;
constexpr std::size_t kChunkBytes = 1024 * 1024;
// Each connection holds a server thread while it is served, a long download too: enough of
// them that downloads to many clients do not hold up a sign-in.
constexpr std::size_t kServerThreads = 64;
constexpr std::string_view kFilesPrefix = "/files/";
// On each file answer: the front answers requests sent one behind another on a connection in
// their order, and the downloader may send them so.
constexpr char kInOrderName[] = "Corvane-Pipelining";
constexpr char kInOrderValue[] = "in-order";
// The quick route's further fields, made once rather than for every file.
const std::string kQuickFileFields =
    std::string("Accept-Ranges: bytes\r\n") + kInOrderName + ": " + kInOrderValue + "\r\n";

enum TProtocolError : int {
  peCredentials = 4,
  peSession = 5,
  peMalformed = 6,
  peNotFound = 7,
  peFault = 8,
  // Refusals that carry no number of their own in the protocol: the HTTP status tells them.
  peForbidden = 9,
  peThrottled = 10,
};

void SendError(httplib::Response& res, int httpStatus, int error, const std::string& message) {
  res.status = httpStatus;
  res.set_content(json{{"error", error}, {"message", message}}.dump(), "application/json");
}

void SendJson(httplib::Response& res, const json& body) {
  res.status = 200;
  // With the charset named, the server library leaves the answer uncompressed: it would pick
  // brotli at its slowest setting for any client that accepts it (Qt does), and a file list of
  // 20,000 files then took seconds to compress, far longer than to send.
  res.set_content(body.dump(), "application/json; charset=utf-8");
}

// Runs a handler; an exception becomes error 8 instead of a dropped connection.
template <typename F>
httplib::Server::Handler Guarded(F handler) {
  return [handler](const httplib::Request& req, httplib::Response& res) {
    try {
      handler(req, res);
    } catch (const std::exception& e) {
      SendError(res, 500, peFault, std::string("service fault: ") + e.what());
    } catch (...) {
      SendError(res, 500, peFault, "service fault");
    }
  };
}

bool ParseBody(const httplib::Request& req, httplib::Response& res, json& body) {
  body = json::parse(req.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    SendError(res, 400, peMalformed, "the request body is not a JSON object");
    return false;
  }
  return true;
}

// The signed-in account of a request, or an error answer (5) and an empty text.
std::string Authorize(TCatalogue& catalogue, const httplib::Request& req, httplib::Response& res) {
  const std::string header = req.get_header_value("Authorization");
  constexpr std::string_view kScheme = "bearer ";
  std::string email;
  if (header.size() > kScheme.size()) {
    std::string scheme = header.substr(0, kScheme.size());
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme == kScheme) email = catalogue.SessionEmail(header.substr(kScheme.size()));
  }
  if (email.empty()) SendError(res, 401, peSession, "session missing or expired");
  return email;
}

json ProductJson(const TServiceProduct& p) {
  return {{"number", p.number},
          {"kind", p.kind},
          {"group", p.group},
          {"displayName", p.displayName},
          {"itemTitle", p.itemTitle},
          {"moduleMask", p.moduleMask},
          {"registryKey", p.registryKey},
          {"revision", p.revision},
          {"latestVersion", p.latestVersion},
          {"size", p.Size()},
          {"installFolder", p.installFolder},
          {"checked", p.checked}};
}

json ItemJson(const TListedItem& item, const TItemSigner* signer) {
  const TServiceProduct& p = item.product;
  json files = json::array();
  for (const auto& f : p.files)
    files.push_back({{"name", f.name},
                     {"folder", f.folder},
                     {"size", f.size},
                     {"time", f.time},
                     {"addon", f.addon},
                     {"sha256", f.sha256},
                     {"url", f.url}});
  return {{"product", p.number},
          {"mask", p.moduleMask},
          {"productCode", p.productCode},
          {"moduleCode", p.moduleCode},
          {"productName", p.productName},
          {"moduleName", p.moduleName},
          {"revision", p.revision},
          {"installFolder", p.installFolder},
          {"status", item.status},
          {"version", SignedItemVersion(item)},
          {"signature", signer ? signer->Sign(item) : std::string()},
          {"files", std::move(files)}};
}

bool IsInt32(const json& value) {
  if (!value.is_number_integer()) return false;
  const auto v = value.get<std::int64_t>();
  return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
}

void HandleSignIn(TCatalogue& catalogue, const httplib::Request& req, httplib::Response& res) {
  json body;
  if (!ParseBody(req, res, body)) return;
  const auto email = body.find("email");
  const auto password = body.find("password");
  const auto token = body.find("token");
  const auto remember = body.find("remember");
  const bool hasPassword = password != body.end();
  const bool hasToken = token != body.end();
  if (email == body.end() || !email->is_string() || email->get_ref<const std::string&>().empty() ||
      hasPassword == hasToken || (hasPassword && !password->is_string()) ||
      (hasToken && !token->is_string()) || (remember != body.end() && !remember->is_boolean())) {
    SendError(res, 400, peMalformed, "sign-in needs an e-mail address and one of password or token");
    return;
  }
  const bool keep = remember != body.end() && remember->get<bool>();
  const TSignInResult result =
      hasPassword ? catalogue.SignInPassword(email->get<std::string>(), password->get<std::string>(), keep, req.remote_addr)
                  : catalogue.SignInToken(email->get<std::string>(), token->get<std::string>(), keep, req.remote_addr);
  if (result.error == peThrottled) {
    const std::int64_t minutes = (result.retryAfter + 59) / 60;
    res.set_header("Retry-After", std::to_string(result.retryAfter));
    SendError(res, 429, peThrottled,
              "too many failed sign-ins; try again in " + std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes"));
    return;
  }
  if (result.error == peCredentials) {
    SendError(res, 401, peCredentials, "unknown e-mail address, wrong password or unknown token");
    return;
  }
  if (result.error != 0) {
    SendError(res, 500, peFault, "the sign-in could not be recorded");
    return;
  }
  json answer = {{"session", result.session}, {"email", result.email}};
  if (!result.token.empty()) answer["token"] = result.token;
  SendJson(res, answer);
}

void HandleProducts(TCatalogue& catalogue, const httplib::Request& req, httplib::Response& res) {
  const std::string email = Authorize(catalogue, req, res);
  if (email.empty()) return;
  json products = json::array();
  for (const auto& product : catalogue.ProductList(email)) products.push_back(ProductJson(product));
  SendJson(res, {{"products", std::move(products)}});
}

void HandleFiles(TCatalogue& catalogue, const TItemSigner* signer, const httplib::Request& req,
                 httplib::Response& res) {
  const std::string email = Authorize(catalogue, req, res);
  if (email.empty()) return;
  json body;
  if (!ParseBody(req, res, body)) return;
  const auto selection = body.find("selection");
  if (selection == body.end() || !selection->is_array()) {
    SendError(res, 400, peMalformed, "the request has no selection");
    return;
  }
  std::vector<TSelectionEntry> entries;
  for (const json& entry : *selection) {
    if (!entry.is_object() || !entry.contains("product") || !IsInt32(entry["product"]) ||
        !entry.contains("mask") || !IsInt32(entry["mask"]) ||
        (entry.contains("kind") && !IsInt32(entry["kind"]))) {
      SendError(res, 400, peMalformed, "a selection entry needs int32 product and mask");
      return;
    }
    entries.push_back({entry["product"].get<std::int32_t>(), entry["mask"].get<std::int32_t>(),
                       entry.value("kind", 0)});
  }
  // The catalogue does not change while the service runs: a list is made once per account and
  // selection and then sent as it is (making and writing out 20,000 files took longer than
  // sending them).
  std::string key = catalogue.AnswerKey(email);
  for (const TSelectionEntry& e : entries)
    key += '\n' + std::to_string(e.product) + ' ' + std::to_string(e.mask) + ' ' + std::to_string(e.kind);
  const std::shared_ptr<const std::string> answer = catalogue.CachedAnswer(key, [&] {
    json items = json::array();
    for (const auto& item : catalogue.FileList(email, entries)) items.push_back(ItemJson(item, signer));
    return json{{"items", std::move(items)}}.dump();
  });
  res.status = 200;
  // Uncompressed, as SendJson says.
  res.set_content(*answer, "application/json; charset=utf-8");
}

// One "bytes=" range against a file of `size` bytes: [first, last], or false when unsatisfiable.
// `whole` tells that there is no range to honour (no header, several ranges).
bool ResolveRange(const std::string& header, std::int64_t size, bool& whole, std::int64_t& first,
                  std::int64_t& last) {
  whole = true;
  first = 0;
  last = size - 1;
  if (header.empty()) return true;
  constexpr std::string_view kUnit = "bytes=";
  if (header.compare(0, kUnit.size(), kUnit) != 0) return true;  // unknown unit: ignore
  const std::string spec = header.substr(kUnit.size());
  if (spec.find(',') != std::string::npos) return true;  // several ranges: send it whole
  const std::size_t dash = spec.find('-');
  if (dash == std::string::npos) return false;
  auto number = [](const std::string& text, std::int64_t& value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= 0;
  };
  const std::string a = spec.substr(0, dash);
  const std::string b = spec.substr(dash + 1);
  whole = false;
  if (a.empty()) {  // the last b bytes
    std::int64_t count = 0;
    if (!number(b, count) || count == 0 || size == 0) return false;
    first = count >= size ? 0 : size - count;
    last = size - 1;
    return true;
  }
  if (!number(a, first) || first >= size) return false;
  if (b.empty()) {
    last = size - 1;
  } else {
    if (!number(b, last) || last < first) return false;
    if (last >= size) last = size - 1;
  }
  return true;
}

enum class TPathCheck { ok, refused, missing };

// A relative path whose parts are neither empty, "." nor "..".
bool IsPlainRelativePath(const std::string& relative) {
  if (relative.empty() || relative.front() == '/' || relative.find('\0') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= relative.size()) {
    const std::size_t end = std::min(relative.find('/', start), relative.size());
    const std::string part = relative.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

// The files folder: its own path, resolved once (resolving it link by link for every small file
// took most of the time of the answer), and the folder itself, for opening beneath it.
struct TFilesRoot {
  fs::path path;
  int fd = -1;
};

bool FilesRoot(TCatalogue& catalogue, TFilesRoot& root) {
  static std::mutex rootsMutex;
  static std::map<std::string, TFilesRoot> roots;
  std::lock_guard lock(rootsMutex);
  auto it = roots.find(catalogue.FilesFolder());
  if (it == roots.end()) {
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(catalogue.FilesFolder(), ec);
    if (ec) return false;
    const int dirFd = ::open(resolved.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    it = roots.emplace(catalogue.FilesFolder(), TFilesRoot{resolved, dirFd}).first;
  }
  root = it->second;
  return true;
}

// Opens a file below files/; refuses names that would leave the folder, also through links.
TPathCheck OpenBelowFiles(TCatalogue& catalogue, const std::string& relative, int& fd) {
  fd = -1;
  if (!IsPlainRelativePath(relative)) return TPathCheck::refused;
  TFilesRoot root;
  if (!FilesRoot(catalogue, root)) return TPathCheck::missing;
  std::error_code ec;
#ifdef SYS_openat2
  // The system keeps the name beneath the folder, links included, in one call; anything it
  // refuses (an absolute link that points back inside, say) takes the slower way below.
  if (root.fd >= 0) {
    open_how how{};
    how.flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    fd = static_cast<int>(::syscall(SYS_openat2, root.fd, relative.c_str(), &how, sizeof how));
    if (fd >= 0) return TPathCheck::ok;
  }
#endif
  // Not blocking: a pipe in the content folder must not hold a server thread forever. A name
  // the system cannot open (too long, a loop of links) names no file: a missing file, not a
  // hostile one.
  fd = ::open((root.path / relative).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return TPathCheck::missing;
  // Links inside the content folder must not lead out of it either: where the opened file
  // really is decides.
  fs::path target;
  char real[PATH_MAX];
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), real, sizeof real);
  if (n > 0 && static_cast<std::size_t>(n) < sizeof real) target = fs::path(std::string(real, static_cast<std::size_t>(n)));
  else target = fs::weakly_canonical(root.path / relative, ec);
  const auto [rootEnd, targetIt] =
      std::mismatch(root.path.begin(), root.path.end(), target.begin(), target.end());
  if (ec || rootEnd != root.path.end()) {
    ::close(fd);
    fd = -1;
    return ec ? TPathCheck::missing : TPathCheck::refused;
  }
  return TPathCheck::ok;
}

// Small files kept in memory by their path below files/, each with what tells the file on disk
// apart: before one is sent from memory a stat checks that the name still leads to that same,
// unchanged file, so a replaced or rewritten file is read again and never sent stale.
class TSmallFiles {
 public:
  static constexpr std::int64_t kMaxFileBytes = 64 * 1024;
  static constexpr std::size_t kMaxBytes = 64 << 20;

  std::shared_ptr<const std::string> Find(TCatalogue& catalogue, const std::string& relative) {
    struct stat kept {};
    std::shared_ptr<const std::string> bytes;
    int rootFd = -1;
    {
      std::lock_guard lock(mutex_);
      if (!Current(catalogue)) return nullptr;
      const auto it = entries_.find(relative);
      if (it == entries_.end()) return nullptr;
      kept = it->second.st;
      bytes = it->second.bytes;
      rootFd = rootFd_;
    }
    struct stat st {};
    if (::fstatat(rootFd, relative.c_str(), &st, 0) != 0 || !Same(kept, st)) return nullptr;
    return bytes;
  }

  // Keeps what was read of the file `st` tells, unless it changed too recently to tell a later
  // change from it: a file's times have a coarse grain, and a change within the same grain
  // would leave them as they were.
  void Keep(TCatalogue& catalogue, const std::string& relative, const struct stat& st,
            std::shared_ptr<const std::string> bytes) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec) + 2 > now.tv_sec) return;
    std::lock_guard lock(mutex_);
    if (!Current(catalogue)) return;
    if (const auto it = entries_.find(relative); it != entries_.end()) {
      bytes_ -= it->second.bytes->size();
      entries_.erase(it);
    }
    // Bounded: the catalogue names any number of files.
    if (bytes_ + bytes->size() > kMaxBytes) {
      entries_.clear();
      bytes_ = 0;
    }
    bytes_ += bytes->size();
    entries_.emplace(relative, TEntry{st, std::move(bytes)});
  }

 private:
  struct TEntry {
    struct stat st;
    std::shared_ptr<const std::string> bytes;
  };
  // Whether the kept files are the catalogue's; with the mutex held.
  bool Current(TCatalogue& catalogue) {
    if (rootFd_ >= 0 && folder_ == catalogue.Folder()) return true;
    TFilesRoot root;
    if (!FilesRoot(catalogue, root) || root.fd < 0) return false;
    folder_ = catalogue.Folder();
    rootFd_ = root.fd;
    entries_.clear();
    bytes_ = 0;
    return true;
  }
  static bool Same(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
  }

  std::mutex mutex_;
  std::string folder_;
  int rootFd_ = -1;  // the files folder's, which FilesRoot keeps open
  std::unordered_map<std::string, TEntry> entries_;
  std::size_t bytes_ = 0;
};

// A whole small file to its owner, answered by the connection front before the routes: what
// it cannot tell without waiting (a session or a file it has not seen yet, accounts in a
// database) it leaves to a worker, and anything but a plain 200 (no session, another owner,
// a range, a hostile or encoded name, a large file) to HandleFileGet below.
TQuickResult QuickFileGet(TCatalogue& catalogue, TSmallFiles& files, const TQuickRequest& req, TQuickAnswer& answer) {
  if (req.method != "GET" || !catalogue.AccelRedirect().empty() || catalogue.DropsPlanned())
    return TQuickResult::declined;
  const std::string relative(req.path.substr(kFilesPrefix.size()));
  if (!IsPlainRelativePath(relative)) return TQuickResult::declined;
  const std::string_view header = req.Header("Authorization");
  constexpr std::string_view kScheme = "bearer ";
  if (header.size() <= kScheme.size()) return TQuickResult::declined;
  for (std::size_t i = 0; i < kScheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(header[i])) != kScheme[i]) return TQuickResult::declined;
  const std::string session(header.substr(kScheme.size()));
  const std::string email = req.mayBlock ? catalogue.SessionEmail(session) : catalogue.KnownSessionEmail(session);
  if (email.empty()) return req.mayBlock ? TQuickResult::declined : TQuickResult::later;
  if (!req.mayBlock && !catalogue.AccountsInMemory()) return TQuickResult::later;
  if (catalogue.FileAccess(email, relative) != TFileAccess::owned) return TQuickResult::declined;
  std::shared_ptr<const std::string> bytes = files.Find(catalogue, relative);
  if (!bytes) {
    if (!req.mayBlock) return TQuickResult::later;
    int fd = -1;
    if (OpenBelowFiles(catalogue, relative, fd) != TPathCheck::ok) return TQuickResult::declined;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > TSmallFiles::kMaxFileBytes) {
      ::close(fd);
      return TQuickResult::declined;
    }
    auto read = std::make_shared<std::string>(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < read->size()) {
      const ssize_t n = ::pread(fd, read->data() + done, read->size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (done != read->size()) return TQuickResult::declined;  // it shrank while read
    files.Keep(catalogue, relative, st, read);
    bytes = std::move(read);
  }
  answer.body = std::move(bytes);
  answer.fields = kQuickFileFields;
  return TQuickResult::answered;
}

// `relative` is the request's path after "/files/".
void HandleFileGet(TCatalogue& catalogue, const std::string& relative, const httplib::Request& req,
                   httplib::Response& res) {
  // The range is served here: the server's own range handling would read past the file's end.
  const_cast<httplib::Request&>(req).ranges.clear();
  // Paid files go to their owners only; the paths are predictable from any file list.
  const std::string email = Authorize(catalogue, req, res);
  if (email.empty()) return;
  if (!IsPlainRelativePath(relative)) {
    SendError(res, 400, peMalformed, "the file name leaves the files folder");
    return;
  }
  switch (catalogue.FileAccess(email, relative)) {
    case TFileAccess::owned:
      break;
    case TFileAccess::foreign:
      SendError(res, 403, peForbidden, "the account does not own this file");
      return;
    case TFileAccess::unlisted:
      SendError(res, 404, peNotFound, "no such file");
      return;
  }
  if (!catalogue.AccelRedirect().empty()) {
    // The web server in front sends the file (and honours the range) from its internal location.
    res.status = 200;
    res.set_header("X-Accel-Redirect", catalogue.AccelRedirect() + FileUrlPath(relative));
    return;
  }
  int fd = -1;
  switch (OpenBelowFiles(catalogue, relative, fd)) {
    case TPathCheck::ok:
      break;
    case TPathCheck::refused:
      SendError(res, 400, peMalformed, "the file name leaves the files folder");
      return;
    case TPathCheck::missing:
      SendError(res, 404, peNotFound, "no such file");
      return;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    SendError(res, 404, peNotFound, "no such file");
    return;
  }
  auto file = std::shared_ptr<int>(new int(fd), [](int* p) {
    ::close(*p);
    delete p;
  });
  const std::int64_t size = st.st_size;
  bool whole = true;
  std::int64_t first = 0, last = 0;
  if (!ResolveRange(req.get_header_value("Range"), size, whole, first, last)) {
    res.set_header("Content-Range", "bytes */" + std::to_string(size));
    SendError(res, 416, peNotFound, "the range lies outside the file");
    return;
  }
  res.set_header("Accept-Ranges", "bytes");
  res.set_header(kInOrderName, kInOrderValue);
  if (!whole) {
    res.status = 206;
    res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                        std::to_string(size));
  } else {
    res.status = 200;
  }
  const std::int64_t length = whole ? size : last - first + 1;
  if (length == 0) {
    res.set_content("", "application/octet-stream");
    return;
  }
  // A HEAD sends no body, so it leaves a planned drop for the GET that follows.
  const std::int64_t limit = req.method == "GET" ? catalogue.TakeDrop(relative).value_or(length) : length;
  // No larger than the answer: zeroing a whole chunk for each small file costs more than sending it.
  auto buffer = std::make_shared<std::vector<char>>(
      static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(kChunkBytes), length)));
  res.set_content_provider(
      static_cast<std::size_t>(length), "application/octet-stream",
      [file, buffer, first, limit](std::size_t offset, std::size_t wanted, httplib::DataSink& sink) {
        const auto at = static_cast<std::int64_t>(offset);
        if (at >= limit) return false;  // closes the connection in the middle of the answer
        std::size_t n = std::min({wanted, buffer->size(), static_cast<std::size_t>(limit - at)});
        ssize_t got;
        do {
          got = ::pread(*file, buffer->data(), n, first + at);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return false;  // the file shrank or cannot be read: stop, never pad
        return sink.write(buffer->data(), static_cast<std::size_t>(got));
      });
}

}  // namespace

void RegisterAccountService(httplib::Server& server, TCatalogue& catalogue, bool testControl,
                            const TItemSigner* signer) {
  server.set_payload_max_length(kMaxRequestBody);
  server.Post("/api/v1/signin", Guarded([&catalogue](const httplib::Request& req, httplib::Response& res) {
                HandleSignIn(catalogue, req, res);
              }));
  server.Get("/api/v1/products", Guarded([&catalogue](const httplib::Request& req, httplib::Response& res) {
               HandleProducts(catalogue, req, res);
             }));
  server.Post("/api/v1/files", Guarded([&catalogue, signer](const httplib::Request& req, httplib::Response& res) {
                HandleFiles(catalogue, signer, req, res);
              }));
  server.Get("/files/(.*)", Guarded([&catalogue](const httplib::Request& req, httplib::Response& res) {
               HandleFileGet(catalogue, req.matches.size() > 1 ? std::string(req.matches[1]) : std::string(),
                             req, res);
             }));
  if (testControl) {
    server.Post("/test/drop-once", Guarded([&catalogue](const httplib::Request& req, httplib::Response& res) {
                  json body;
                  if (!ParseBody(req, res, body)) return;
                  if (!body.contains("path") || !body["path"].is_string() || !body.contains("after") ||
                      !body["after"].is_number_integer()) {
                    SendError(res, 400, peMalformed, "drop-once needs path and after");
                    return;
                  }
                  catalogue.DropConnectionOnce(body["path"].get<std::string>(), body["after"].get<std::int64_t>());
                  SendJson(res, json::object());
                }));
    server.Post("/test/expire-sessions", Guarded([&catalogue](const httplib::Request&, httplib::Response& res) {
                  catalogue.ExpireSessions();
                  SendJson(res, json::object());
                }));
  }
  SetQuickRoute(server, std::string(kFilesPrefix),
                [&catalogue, files = std::make_shared<TSmallFiles>()](const TQuickRequest& req, TQuickAnswer& answer) {
                  try {
                    return QuickFileGet(catalogue, *files, req, answer);
                  } catch (const std::exception&) {
                    return TQuickResult::declined;  // the routes answer it, and tell the fault
                  }
                });
  // What each route takes; the front refuses a larger body before reading it (413).
  SetBodyLimit(server, "/api/v1/signin", 16 * 1024);
  SetBodyLimit(server, "/api/v1/files", kMaxRequestBody);
  SetBodyLimit(server, "/test/drop-once", 4 * 1024);
  SetBodyLimit(server, "/test/expire-sessions", 4 * 1024);
  LimitServer(server);
  // Answers the server makes itself (no route, body too large, URI too long, bad range header)
  // get the protocol's error body too.
  server.set_error_handler(
      httplib::Server::HandlerWithResponse([&catalogue](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        // The server refuses a Range header it cannot parse before any route sees it. A file
        // answers it itself: another unit gets the whole file, a malformed byte range 416 with
        // the file's size.
        if (res.status == 416 && (req.method == "GET" || req.method == "HEAD") &&
            req.path.compare(0, kFilesPrefix.size(), kFilesPrefix) == 0) {
          Guarded([&catalogue](const httplib::Request& request, httplib::Response& response) {
            HandleFileGet(catalogue, request.path.substr(kFilesPrefix.size()), request, response);
          })(req, res);
          return httplib::Server::HandlerResponse::Handled;
        }
        const int error = res.status == 401                                         ? peSession
                          : res.status == 404 || res.status == 405 || res.status == 416 ? peNotFound
                          : res.status >= 400 && res.status < 500                     ? peMalformed
                                                                                       : peFault;
        SendError(res, res.status, error, res.status == 404 ? "no such resource" : "request refused");
        return httplib::Server::HandlerResponse::Handled;
      }));
}

void LimitServer(httplib::Server& server) {
  // Header and body go out in separate writes: without this, each answer on a kept-alive
  // connection waits for the client's delayed acknowledgement (tens of milliseconds a file).
  server.set_tcp_nodelay(true);
  // The server reads a body without a Content-Length (chunked, or up to the end of the
  // connection) whole, whatever its size, before any handler sees it: such a request is refused
  // before its body is read. The answer closes the connection, whose rest is that body.
  server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    // The library compresses with brotli at its slowest setting when a client offers it (Qt
    // does): a file list of 20,000 files then takes 18 s to answer instead of a fraction of one.
    // gzip is offered alongside and costs little.
    auto range = const_cast<httplib::Request&>(req).headers.equal_range("Accept-Encoding");
    for (auto it = range.first; it != range.second; ++it) {
      std::string kept;
      std::size_t start = 0;
      while (start <= it->second.size()) {
        const std::size_t comma = std::min(it->second.find(',', start), it->second.size());
        std::string token = it->second.substr(start, comma - start);
        token.erase(0, token.find_first_not_of(' '));
        const std::string name = token.substr(0, token.find(';'));
        if (!token.empty() && name != "br" && name != "zstd") kept += (kept.empty() ? "" : ", ") + token;
        start = comma + 1;
      }
      it->second = kept.empty() ? "identity" : kept;
    }
    const bool bodyMethod = req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
    if (!req.has_header("Transfer-Encoding") && (!bodyMethod || req.has_header("Content-Length")))
      return httplib::Server::HandlerResponse::Unhandled;
    SendError(res, 411, peMalformed, "the request body needs a Content-Length");
    res.set_header("Connection", "close");
    return httplib::Server::HandlerResponse::Handled;
  });
  // The server owns its task queue and deletes it when it stops listening. The front has
  // workers of its own.
  if (!IsFrontServer(server)) server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
}

}  // namespace cvservice
