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

// The client reads these fields strictly: one it cannot read fails the whole command. They are
// checked when the content is loaded, so that a fault shows at start-up, naming its file.
bool IsVersionText(const std::string& text) {
  int parts = 0;
  size_t start = 0;
  while (true) {
    const size_t dot = std::min(text.find('.', start), text.size());
    const std::string part = text.substr(start, dot - start);
    if (part.empty() || part.size() > 3 || !std::all_of(part.begin(), part.end(), ::isdigit) ||
        std::stoi(part) > 255 || ++parts > 4)
      return false;
    if (dot == text.size()) return true;
    start = dot + 1;
  }
}

// "YYYY-MM-DD", optionally followed by " hh:mm" and ":ss".
bool IsDateText(const std::string& text) {
  auto number = [&](size_t at, size_t digits, int low, int high) {
    if (at + digits > text.size()) return false;
    int value = 0;
    for (size_t i = at; i < at + digits; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
      value = value * 10 + (text[i] - '0');
    }
    return value >= low && value <= high;
  };
  if (text.size() < 10 || !number(0, 4, 1, 9999) || text[4] != '-' || !number(5, 2, 1, 12) || text[7] != '-' ||
      !number(8, 2, 1, 31))
    return false;
  const int year = std::stoi(text.substr(0, 4)), month = std::stoi(text.substr(5, 2)), day = std::stoi(text.substr(8, 2));
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kDays[month - 1] || (month == 2 && day == 29 && !leap)) return false;
  if (text.size() == 10) return true;
  if (text[10] != ' ' || !number(11, 2, 0, 23) || text.size() < 16 || text[13] != ':' || !number(14, 2, 0, 59))
    return false;
  if (text.size() == 16) return true;
  return text.size() == 19 && text[16] == ':' && number(17, 2, 0, 59);
}

bool IsInt32Text(const std::string& text) {
  size_t i = text.size() > 0 && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size() || text.size() - i > 10) return false;
  if (!std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(), ::isdigit)) return false;
  const long long v = std::stoll(text);
  return v >= INT32_MIN && v <= INT32_MAX;
}

// One product folder's description: empty when it is fine, else what is wrong with it.
std::string ProductFault(const fs::path& folder) {
  std::ifstream in(folder / "product.json");
  if (!in) return {};  // no product: the service reports it unknown
  const nlohmann::json info = nlohmann::json::parse(in, nullptr, false);
  if (info.is_discarded() || !info.is_object()) return "not a JSON object";
  auto text = [&](const char* key, std::string& out) {
    const auto it = info.find(key);
    if (it == info.end()) return false;
    if (it->is_string()) out = it->get<std::string>();
    else if (it->is_number_integer()) out = std::to_string(it->get<long long>());
    else out = "\x01";  // neither: no reader takes it
    return true;
  };
  std::string value;
  if (text("version", value) && !IsVersionText(value))
    return "\"version\" is \"" + value + "\", not a dotted version of up to four numbers 0 to 255";
  for (const char* key : {"date1", "date2"})
    if (text(key, value) && !IsDateText(value))
      return "\"" + std::string(key) + "\" is \"" + value + "\", not a date YYYY-MM-DD with an optional time hh:mm[:ss]";
  for (const char* key : {"number1", "number2"})
    if (text(key, value) && !IsInt32Text(value))
      return "\"" + std::string(key) + "\" is \"" + value + "\", not a whole number of 32 bits";
  for (const char* key : {"text1", "text2", "text3", "text4", "file"}) {
    const auto it = info.find(key);
    if (it != info.end() && !it->is_string() && !it->is_number_integer())
      return "\"" + std::string(key) + "\" is not a text";
  }
  if (text("file", value) && !value.empty()) {
    if (value == "." || value == ".." || value.find_first_of("/\\\n\r") != std::string::npos)
      return "\"file\" is \"" + value + "\", not a plain file name";
    std::error_code ec;
    const fs::path path = folder / value;
    if (!fs::is_regular_file(path, ec)) return "the installer \"" + value + "\" is not a file in the folder";
    const std::uintmax_t size = fs::file_size(path, ec);
    // A client takes an empty file for a broken answer: there is nothing to update with.
    if (ec || size == 0) return "the installer \"" + value + "\" is empty";
    if (size > static_cast<std::uintmax_t>(INT32_MAX)) return "the installer \"" + value + "\" is larger than 2 GiB";
  }
  return {};
}

}  // namespace

bool CheckPusContent(const fs::path& contentFolder, std::string& error) {
  std::error_code ec;
  if (!fs::is_directory(contentFolder, ec)) {
    error = contentFolder.string() + ": not a folder";
    return false;
  }
  std::vector<fs::path> folders;
  for (const auto& entry : fs::directory_iterator(contentFolder, ec)) folders.push_back(entry.path());
  if (ec) {
    error = contentFolder.string() + ": " + ec.message();
    return false;
  }
  std::sort(folders.begin(), folders.end());
  for (const fs::path& folder : folders) {
    std::string guid;
    if (!NormalizeGuid(folder.filename().string(), guid) || guid != folder.filename().string()) continue;
    const std::string fault = ProductFault(folder);
    if (!fault.empty()) {
      error = (folder / "product.json").string() + ": " + fault;
      return false;
    }
  }
  return true;
}

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
