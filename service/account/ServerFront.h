#pragma once

// The service's connection front: event threads read each request's header section (and its
// body) before any worker sees it, so slow or idle connections hold no worker, and refuse what
// is too large or too slow; the workers then run the request on the server's routes, unless a
// quick route answered it on the event thread already. See docs/account-service.md, "Limits"
// and "Speed".

#include <httplib.h>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace cvservice {

struct TFrontLimits {
  std::size_t headerBytes = 8 * 1024;      // the header fields together (431)
  std::size_t headerLines = 100;           // header fields (431)
  std::size_t requestLineBytes = 8 * 1024; // (414)
  int headerSeconds = 10;                  // the whole header section, from its first byte (408)
  int bodySeconds = 30;                    // a body the route takes, after its header (408)
  int idleSeconds = 5;                     // a kept-alive connection between requests
  int busyIdleSeconds = 1;                 // the same while requests wait for a worker
  std::size_t workers = 64;
  std::size_t eventThreads = 0;            // 0: one per processor, at most 4
  std::size_t defaultBodyBytes = 64 * 1024;  // a body on a route that names no limit (413)
};

class TFrontCore;

// An httplib server (plain, or TLS with `cert` and `key`) behind the front. The routes and the
// handlers are the server's own; only the connection handling differs.
std::unique_ptr<httplib::Server> MakeFrontServer(const std::string& cert = {}, const std::string& key = {},
                                                 const TFrontLimits& limits = {});

// The largest body a route takes (exact path, any method that has a body); bodies on GET and
// HEAD are refused. Does nothing on a server that MakeFrontServer did not make.
void SetBodyLimit(httplib::Server& server, const std::string& path, std::size_t bytes);

// Whether MakeFrontServer made the server.
bool IsFrontServer(const httplib::Server& server);

// A request the front offers to a quick route before the server's routes: a GET read whole,
// HTTP/1.1, whose target has no query and no percent sign, and that names no range, body or
// connection option (keep-alive aside). On an event thread (`mayBlock` false) the route may use
// only what it holds in memory and a stat of a file, and answers `later` for anything else: a
// worker then offers the request again with `mayBlock` true.
struct TQuickRequest {
  std::string_view method;
  std::string_view path;
  std::string_view fields;  // the header fields, "Name: value" lines
  bool mayBlock = false;
  // The first field of that name (any letter case) without surrounding blanks; empty when absent.
  std::string_view Header(std::string_view name) const;
};

// A quick route's answer, always 200.
struct TQuickAnswer {
  std::shared_ptr<const std::string> body;
  std::string_view contentType = "application/octet-stream";
  std::string fields;  // further header fields, "Name: value\r\n" each
};

enum class TQuickResult {
  declined,  // the server's routes answer it
  later,     // only a worker can tell (from the event thread)
  answered,
};

using TQuickRoute = std::function<TQuickResult(const TQuickRequest&, TQuickAnswer&)>;

// Offers the GET requests whose path starts with `prefix` to `route` first. Does nothing on a
// server that MakeFrontServer did not make.
void SetQuickRoute(httplib::Server& server, const std::string& prefix, TQuickRoute route);

// Logs every request as one line "METHOD PATH STATUS" to `fd`, control characters replaced so
// that no request can start a line of its own. The lines are written in batches by a thread of
// the log's own, each within a tenth of a second of its first line, and the rest when the server
// is destroyed. Returns false (and logs nothing) on a
// server that MakeFrontServer did not make.
bool LogRequests(httplib::Server& server, int fd);

}  // namespace cvservice
