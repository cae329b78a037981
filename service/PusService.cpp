#include "PusService.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

namespace deployer {
namespace {

namespace fs = std::filesystem;

// Shared with the client: every byte of the form is XORed with it.
constexpr unsigned char kScrambleKey = 0x5A;
constexpr char kEndMarker = '\xFF';
constexpr size_t kStreamChunk = 256 * 1024;
// A signature file is a few dozen bytes; anything big under its name is not one.
constexpr std::uint64_t kMaxSignatureSize = 4096;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

using Form = std::map<std::string, std::string>;

Form ParseForm(const std::string& form) {
  Form result;
  size_t start = 0;
  while (start <= form.size()) {
    size_t amp = form.find('&', start);
    if (amp == std::string::npos) amp = form.size();
    const std::string part = form.substr(start, amp - start);
    const size_t eq = part.find('=');
    if (eq != std::string::npos) result.emplace(part.substr(0, eq), part.substr(eq + 1));
    start = amp + 1;
  }
  return result;
}

// A GUID in registry form, either case; gives the upper-case form that names its folder.
bool NormalizeGuid(const std::string& text, std::string& guid) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  std::string out = text;
  for (size_t i = 1; i < 37; ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? text[i] != '-' : HexDigit(text[i]) < 0) return false;
    out[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
  }
  guid = out;
  return true;
}

bool ParseCount(const std::string& text, int& count) {
  if (text.empty() || text.size() > 6) return false;
  count = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    count = count * 10 + (c - '0');
  }
  return true;
}

// The GUIDs "g0".."g<gc-1>" of a form; false when one is missing or does not read.
bool FormGuids(const Form& form, std::vector<std::string>& guids) {
  const auto gc = form.find("gc");
  int count = 0;
  if (gc == form.end() || !ParseCount(gc->second, count)) return false;
  for (int i = 0; i < count; ++i) {
    const auto g = form.find("g" + std::to_string(i));
    std::string guid;
    if (g == form.end() || !NormalizeGuid(g->second, guid)) return false;
    guids.push_back(guid);
  }
  return true;
}

// One line of an answer: no line break may get inside it.
std::string Line(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  text.erase(std::remove(text.begin(), text.end(), kEndMarker), text.end());
  return text + '\n';
}

class PusHandler {
 public:
  explicit PusHandler(fs::path content) : content_(std::move(content)) {}

  void Handle(const httplib::Request& req, httplib::Response& res) const {
    std::string plain;
    if (!UnscrambleBody(req.body, plain)) {
      res.status = 400;
      res.set_content("malformed request body\n", "text/plain");
      return;
    }
    const Form form = ParseForm(plain);
    const auto c = form.find("c");
    if (c == form.end()) return Status(res, kPusBadForm);
    if (c->second == "vi2") return Version(form, res);
    if (c->second == "vh") return History(form, res);
    if (c->second == "uf") return UpdateFile(form, res);
    Status(res, kPusUnknownCommand);
  }

 private:
  struct Product {
    nlohmann::json info;
    fs::path folder;
  };

  static void Status(httplib::Response& res, int status) {
    res.set_content(std::to_string(status) + "\n", "application/octet-stream");
  }

  // The product of a GUID; status -3 when there is none, -4 when its description is broken.
  int Load(const std::string& guid, Product& product) const {
    product.folder = content_ / guid;
    std::ifstream in(product.folder / "product.json");
    if (!in) return kPusUnknownProduct;
    product.info = nlohmann::json::parse(in, nullptr, false);
    if (product.info.is_discarded() || !product.info.is_object()) return kPusNoContent;
    return 0;
  }

  static std::string Text(const nlohmann::json& info, const char* key, const char* fallback = "") {
    const auto it = info.find(key);
    if (it == info.end()) return fallback;
    if (it->is_string()) return it->get<std::string>();
    if (it->is_number_integer()) return std::to_string(it->get<long long>());
    return fallback;
  }

  void Version(const Form& form, httplib::Response& res) const {
    std::vector<std::string> guids;
    if (!FormGuids(form, guids)) return Status(res, kPusBadForm);
    std::string answer = "0\n";
    for (const std::string& guid : guids) {
      Product p;
      if (const int status = Load(guid, p)) return Status(res, status);
      // Wire order: GUID, version, date 1, date 2, text 2, number 1, text 1, text 3, text 4,
      // number 2. Records follow each other directly; the marker ends the last one.
      answer += Line(guid);
      answer += Line(Text(p.info, "version", "0.0.0.0"));
      answer += Line(Text(p.info, "date1", "1899-12-30"));
      answer += Line(Text(p.info, "date2", "1899-12-30"));
      answer += Line(Text(p.info, "text2"));
      answer += Line(Text(p.info, "number1", "0"));
      answer += Line(Text(p.info, "text1"));
      answer += Line(Text(p.info, "text3"));
      answer += Line(Text(p.info, "text4"));
      answer += Line(Text(p.info, "number2", "0"));
    }
    if (!guids.empty()) answer += kEndMarker;
    res.set_content(answer, "application/octet-stream");
  }

  void History(const Form& form, httplib::Response& res) const {
    const auto g = form.find("g");
    std::string guid;
    if (g == form.end() || !NormalizeGuid(g->second, guid)) return Status(res, kPusBadForm);
    Product p;
    if (const int status = Load(guid, p)) return Status(res, status);
    std::ifstream in(p.folder / "history.html", std::ios::binary);
    if (!in) return Status(res, kPusNoContent);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string history = text.str();
    // The marker ends the text; a history holding it cannot be sent.
    if (history.find(kEndMarker) != std::string::npos) return Status(res, kPusNoContent);
    res.set_content("0\n" + history + kEndMarker, "application/octet-stream");
  }

  // An answer made of header texts and whole files, streamed: files are read a chunk at a
  // time as the connection takes them, never whole.
  struct Segment {
    std::string bytes;
    fs::path file;
    std::uint64_t size = 0;
  };
  struct Stream {
    std::vector<Segment> segments;
    size_t index = 0;
    std::uint64_t done = 0;  // bytes of the current segment sent
    int fd = -1;
    std::vector<char> buffer;
    ~Stream() {
      if (fd >= 0) ::close(fd);
    }
    bool Next(size_t want, httplib::DataSink& sink) {
      while (index < segments.size() && done == segments[index].size) {
        if (fd >= 0) ::close(fd), fd = -1;
        ++index;
        done = 0;
      }
      if (index >= segments.size()) return false;
      Segment& s = segments[index];
      const size_t n = static_cast<size_t>(std::min<std::uint64_t>(s.size - done, want));
      if (s.file.empty()) {
        if (!sink.write(s.bytes.data() + done, n)) return false;
        done += n;
        return true;
      }
      if (fd < 0) {
        fd = ::open(s.file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        if (buffer.empty()) buffer.resize(kStreamChunk);
      }
      const ssize_t got = ::pread(fd, buffer.data(), std::min(n, buffer.size()),
                                  static_cast<off_t>(done));
      if (got <= 0) return false;  // the file shrank or vanished under us
      if (!sink.write(buffer.data(), static_cast<size_t>(got))) return false;
      done += static_cast<std::uint64_t>(got);
      return true;
    }
  };

  // The installer's detached signature "<name>.sig", when the folder has one, goes just
  // before the installer, so that the last file of a product is still its installer.
  static void AddSignature(const fs::path& installer, const std::string& name, std::string& header,
                           Stream& stream, std::uint64_t& total) {
    fs::path signature = installer;
    signature += ".sig";
    std::error_code ec;
    if (!fs::is_regular_file(signature, ec)) return;
    const std::uint64_t size = fs::file_size(signature, ec);
    if (ec || size == 0 || size > kMaxSignatureSize) return;
    header += name + ".sig\n" + std::to_string(size) + "\n";
    total += header.size() + size;
    stream.segments.push_back({header, {}, header.size()});
    stream.segments.push_back({{}, signature, size});
    header.clear();
  }

  void UpdateFile(const Form& form, httplib::Response& res) const {
    std::vector<std::string> guids;
    if (!FormGuids(form, guids)) return Status(res, kPusBadForm);
    auto stream = std::make_shared<Stream>();
    std::string header = "0\n";
    std::uint64_t total = 0;
    for (const std::string& guid : guids) {
      Product p;
      if (const int status = Load(guid, p)) return Status(res, status);
      const std::string name = Text(p.info, "file");
      if (name.empty() || name == "." || name == ".." ||
          name.find_first_of("/\\\n\r") != std::string::npos)
        return Status(res, kPusNoContent);
      const fs::path path = p.folder / name;
      std::error_code ec;
      if (!fs::is_regular_file(path, ec)) return Status(res, kPusNoContent);
      const std::uint64_t size = fs::file_size(path, ec);
      if (ec || size > static_cast<std::uint64_t>(INT32_MAX)) return Status(res, kPusNoContent);
      AddSignature(path, name, header, *stream, total);
      header += name + "\n" + std::to_string(size) + "\n";
      total += header.size() + size;
      stream->segments.push_back({header, {}, header.size()});
      if (size > 0) stream->segments.push_back({{}, path, size});
      header.clear();
    }
    if (!header.empty()) {
      total += header.size();
      stream->segments.push_back({header, {}, header.size()});
    }
    res.set_content_provider(
        static_cast<size_t>(total), "application/octet-stream",
        [stream](size_t, size_t length, httplib::DataSink& sink) {
          return stream->Next(length, sink);
        });
  }

  fs::path content_;
};

}  // namespace

bool UnscrambleBody(const std::string& body, std::string& form) {
  if (body.compare(0, 2, "d=") != 0) return false;
  std::string hex;
  for (size_t i = 2; i < body.size(); ++i) {
    if (body[i] == '%') {
      if (i + 2 >= body.size()) return false;
      const int hi = HexDigit(body[i + 1]);
      const int lo = HexDigit(body[i + 2]);
      if (hi < 0 || lo < 0) return false;
      hex.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      hex.push_back(body[i]);
    }
  }
  // With our key no form character scrambles below 16, so every byte is two digits.
  if (hex.empty() || hex.size() % 2 != 0) return false;
  std::string plain;
  plain.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = HexDigit(hex[i]);
    const int lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    plain.push_back(static_cast<char>((hi * 16 + lo) ^ kScrambleKey));
  }
  form = std::move(plain);
  return true;
}

void RegisterPusService(httplib::Server& server, const fs::path& contentFolder) {
  auto handler = std::make_shared<PusHandler>(contentFolder);
  server.Post("/pus/pus.php", [handler](const httplib::Request& req, httplib::Response& res) {
    handler->Handle(req, res);
  });
}

}  // namespace deployer
