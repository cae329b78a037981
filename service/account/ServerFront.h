#pragma once

// The service's connection front: one event thread reads each request's header section (and its
// body) before any worker sees it, so slow or idle connections hold no worker, and refuses what
// is too large or too slow; the workers then run the request on the server's routes. See
// docs/account-service.md, "Limits".

#include <httplib.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>

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

}  // namespace cvservice
