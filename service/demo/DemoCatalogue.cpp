#include "DemoCatalogue.h"

#include "AccountCrypto.h"
#include "DemoSetupFormat.h"

#include <nlohmann/json.hpp>
#include <zip.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvdemo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Every file of the demo carries this time (2024-03-01), so that a second run finds them current.
constexpr std::int64_t kFileTime = 1709251200;

// Deterministic filler, so that the demo's files and checksums are the same on every machine.
std::string Filler(std::uint32_t seed, std::size_t size) {
  std::string data(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x & 0xFF);
  }
  return data;
}

bool WriteFile(const fs::path& path, const std::string& data, std::string& error) {
  return WritePrivateFile(path.string(), data, error);
}

bool ReadFile(const fs::path& path, std::string& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  data = buffer.str();
  return static_cast<bool>(in) || in.eof();
}

void AppendU64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

struct TPayloadFile {
  std::string path;
  std::string data;
  bool executable = false;
};

struct TSetupSpec {
  std::string fileName;  // below files/setups/
  std::string name, registryKey, version, program;
  std::vector<TPayloadFile> payload;
};

std::string Readme(const std::string& name, const char* greeting) {
  return std::string(greeting) + " " + name + ".\n";
}

bool MakeSetup(const std::string& image, const TSetupSpec& spec, const fs::path& target,
               std::string& error) {
  std::string out = image;
  if (!PatchVersionMarker(out, spec.version)) {
    error = "the setup program has no version marker slot";
    return false;
  }
  const std::uint64_t payloadStart = out.size();
  json files = json::array();
  std::uint64_t offset = 0;
  for (const auto& file : spec.payload) {
    files.push_back({{"path", file.path}, {"offset", offset}, {"size", file.data.size()},
                     {"executable", file.executable}});
    out += file.data;
    offset += file.data.size();
  }
  const json manifest = {{"name", spec.name},
                         {"registryKey", spec.registryKey},
                         {"version", spec.version},
                         {"program", spec.program},
                         {"files", files},
                         {"readme",
                          {{"en", Readme(spec.name, "Thank you for installing")},
                           {"nl", Readme(spec.name, "Bedankt voor het installeren van")},
                           {"de", Readme(spec.name, "Vielen Dank für die Installation von")},
                           {"fr", Readme(spec.name, "Merci d'avoir installé")}}}};
  const std::string text = manifest.dump();
  out += text;
  AppendU64(out, text.size());
  AppendU64(out, payloadStart);
  out.append(kSetupMagic, sizeof kSetupMagic);
  // Served, never run from here: a client sets the execute bit on its own copy.
  return WriteFile(target, out, error);
}

bool MakeZip(const fs::path& target, const std::vector<TPayloadFile>& entries, std::string& error) {
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  fs::remove(target, ec);
  int zipError = 0;
  zip_t* archive = zip_open(target.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &zipError);
  if (!archive) {
    error = target.string() + ": cannot create the archive";
    return false;
  }
  for (const auto& entry : entries) {
    // libzip reads the buffer at zip_close; the entries outlive the archive here.
    zip_source_t* source = zip_source_buffer(archive, entry.data.data(), entry.data.size(), 0);
    zip_int64_t index = source ? zip_file_add(archive, entry.path.c_str(), source, ZIP_FL_ENC_UTF_8) : -1;
    if (index < 0) {
      if (source) zip_source_free(source);
      zip_discard(archive);
      error = target.string() + ": cannot add " + entry.path;
      return false;
    }
    zip_file_set_mtime(archive, static_cast<zip_uint64_t>(index), kFileTime, 0);
  }
  if (zip_close(archive) != 0) {
    zip_discard(archive);
    error = target.string() + ": cannot write the archive";
    return false;
  }
  // The library makes it after the umask; what the demo writes is the owner's only.
  if (::chmod(target.c_str(), 0600) != 0) {
    error = target.string() + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

json FileEntry(const std::string& name, const std::string& folder, const std::string& path, bool addon) {
  return {{"name", name}, {"folder", folder}, {"path", path}, {"time", kFileTime}, {"addon", addon}};
}

// One module of a chart product: a few charts, a database and a read-me.
json ChartModule(const fs::path& files, int product, int module, const std::string& productCode,
                 const std::string& moduleCode, int charts, std::string& error) {
  json list = json::array();
  const std::string base = "charts/" + productCode + "/" + moduleCode + "/";
  for (int i = 1; i <= charts; ++i) {
    const std::string name = moduleCode + "_" + std::to_string(i) + ".qmr2";
    const std::string data = Filler(static_cast<std::uint32_t>(product * 100 + module * 10 + i), 24 * 1024);
    if (!WriteFile(files / (base + name), ChartFileBytes(product, module, data), error)) return nullptr;
    list.push_back(FileEntry(name, "", base + name, false));
  }
  const std::string db = moduleCode + ".db";
  if (!WriteFile(files / (base + db), Filler(static_cast<std::uint32_t>(product + module), 16 * 1024), error))
    return nullptr;
  list.push_back(FileEntry(db, "", base + db, false));
  const std::string readme = "ReadMe.txt";
  if (!WriteFile(files / (base + readme), "Chart set " + productCode + " " + moduleCode + "\n", error))
    return nullptr;
  list.push_back(FileEntry(readme, "", base + readme, false));
  return list;
}

std::string ProgramScript(const std::string& name, const std::string& version) {
  // The shell stops at "exit", so the marker after it (with its zero byte) is never read as
  // commands, while the version reader finds it.
  std::string text = "#!/bin/sh\necho \"" + name + " " + version + "\"\nexit 0\n";
  text += "CVPRODUCTVERSION=" + version;
  text += '\0';
  text += '\n';
  return text;
}

}  // namespace

std::string ChartFileBytes(int product, int module, const std::string& data) {
  std::string out = "QMR2";
  auto put32 = [&out](std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put32(1);
  put32(static_cast<std::uint32_t>(product));
  put32(static_cast<std::uint32_t>(module));
  return out + data;
}

bool PatchVersionMarker(std::string& image, const std::string& version) {
  const std::string slot = std::string("CVPRODUCTVERSION=") + std::string(CV_DEMO_MARKER_SLOT, kMarkerSlotChars);
  const std::size_t at = image.find(slot);
  if (at == std::string::npos || image.find(slot, at + 1) != std::string::npos) return false;
  if (version.empty() || version.size() > static_cast<std::size_t>(kMarkerSlotChars)) return false;
  std::string filled = version;
  filled.resize(kMarkerSlotChars, '\0');
  image.replace(at + 17, kMarkerSlotChars, filled);
  return true;
}

bool MayWriteDemoFolder(const std::string& folder, std::string& error) {
  std::error_code ec;
  const fs::path root(folder);
  const fs::file_status status = fs::symlink_status(root, ec);
  if (status.type() == fs::file_type::not_found) return true;
  if (status.type() != fs::file_type::directory) {
    error = folder + ": not a folder; the demo catalogue needs a new folder or a demo folder";
    return false;
  }
  if (fs::is_empty(root, ec) && !ec) return true;
  if (fs::symlink_status(root / "demo-stamp.json", ec).type() == fs::file_type::regular) return true;
  error = folder +
          ": this folder holds files and is not a demo folder (it has no demo-stamp.json); the demo catalogue "
          "would replace its catalogue and accounts, so nothing was written. Give --demo a new or empty folder";
  return false;
}

bool MarkDemoFolder(const std::string& folder, std::string& error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    error = folder + ": " + ec.message();
    return false;
  }
  const fs::path stamp = fs::path(folder) / "demo-stamp.json";
  if (fs::exists(stamp, ec)) return true;
  return WriteFile(stamp, "{}\n", error);
}

std::string DemoStamp(const std::string& setupProgram) {
  std::string hash;
  std::int64_t size = 0;
  if (!cvservice::Sha256File(setupProgram, hash, size)) return {};
  return json{{"generator", kDemoGeneratorVersion}, {"setup", hash}}.dump();
}

bool WriteDemoCatalogue(const std::string& folder, const std::string& setupProgram, std::string& error) {
  if (!MayWriteDemoFolder(folder, error) || !MarkDemoFolder(folder, error)) return false;
  const fs::path root(folder);
  const fs::path files = root / "files";
  std::string image;
  if (!ReadFile(setupProgram, image) || image.empty()) {
    error = setupProgram + ": the demo setup program cannot be read";
    return false;
  }
  std::error_code ec;
  fs::remove_all(files, ec);
  fs::create_directories(files, ec);
  if (ec) {
    error = files.string() + ": " + ec.message();
    return false;
  }

  json products = json::array();
  auto program = [&](int number, int kind, int mask, const std::string& code, const std::string& name,
                     const std::string& key, const std::string& version, const std::string& installFolder,
                     int revision, const std::string& programFile, std::vector<TPayloadFile> payload,
                     json extraFiles) -> bool {
    TSetupSpec spec{code + "Setup", name, key, version, programFile, std::move(payload)};
    spec.payload.insert(spec.payload.begin(),
                        {programFile, ProgramScript(name, version), true});
    if (!MakeSetup(image, spec, files / "setups" / spec.fileName, error)) return false;
    json list = json::array({FileEntry(spec.fileName, "", "setups/" + spec.fileName, false)});
    for (auto& f : extraFiles) list.push_back(f);
    products.push_back({{"number", number},
                        {"kind", kind},
                        {"group", 9999},
                        {"moduleMask", mask},
                        {"displayName", name},
                        {"productCode", code},
                        {"moduleCode", code},
                        {"productName", name},
                        {"moduleName", name},
                        {"registryKey", key},
                        {"revision", revision},
                        {"latestVersion", version},
                        {"installFolder", installFolder},
                        {"files", list}});
    return true;
  };

  // Add-on files of the navigation program: a guide and an archive that the installer unpacks.
  if (!WriteFile(files / "addons/100/UserGuide.txt", "Corvane Navigator user guide\n", error)) return false;
  const std::vector<TPayloadFile> samples = {
      {"Routes/Harbour tour.rte", "ROUTE 1\n52.37 4.89\n52.40 4.80\n", false},
      {"Routes/Coastal.rte", "ROUTE 2\n53.10 4.70\n53.20 4.90\n", false},
      {"Tracks/Morning.trk", Filler(7, 2048), false},
  };
  if (!MakeZip(files / "addons/100/Samples.zip", samples, error)) return false;
  const json navigatorAddons = json::array({FileEntry("UserGuide.txt", "Docs", "addons/100/UserGuide.txt", true),
                                            FileEntry("Samples.zip", "Samples", "addons/100/Samples.zip", true)});

  const bool ok =
      program(100, 0, 1, "Navigator", "Corvane Navigator", "Navigator", "5.2.0.0", "Navigator", 7, "Navigator",
              {{"Data/Ports.dat", Filler(100, 8 * 1024), false}}, navigatorAddons) &&
      program(100, 99, 2, "NavigatorDrivers", "Corvane Navigator Drivers", "Navigator\\Drivers", "1.4.0.0",
              "Navigator/Drivers", 2, "NavigatorDrivers", {{"gps.conf", "baud=4800\n", false}}, json::array()) &&
      program(110, 0, 1, "QMRManager", "QMR Manager", "QMR Manager\\1", "2.1.0.3", "QMR Manager", 3,
              "QMRManager", {}, json::array()) &&
      program(120, 2, 1, "TidePlanner", "Tide Planner", "TidePlanner", "1.0.4.0", "Tide Planner", 1,
              "TidePlanner", {{"Stations.dat", Filler(120, 4 * 1024), false}}, json::array());
  if (!ok) return false;

  struct TModule {
    int product;
    int group;
    const char* productCode;
    const char* displayName;
    int module;  // bit index
    const char* moduleCode;
    const char* title;
    int charts;
    bool withdrawn;
  };
  const TModule modules[] = {
      {1001, 2019, "NS", "North Sea Charts", 0, "NL", "Netherlands", 3, false},
      {1001, 2019, "NS", "North Sea Charts", 1, "BE", "Belgium", 2, false},
      {1001, 2019, "NS", "North Sea Charts", 2, "DE", "Germany North", 2, false},
      {1002, 9999, "BA", "Baltic Charts", 0, "DK", "Denmark", 2, false},
      {1003, 2017, "OLD", "Channel Charts 2017", 0, "CH", "Channel", 1, true},
  };
  for (const auto& m : modules) {
    json list = ChartModule(files, m.product, m.module, m.productCode, m.moduleCode, m.charts, error);
    if (list.is_null()) return false;
    products.push_back({{"number", m.product},
                        {"kind", 1},
                        {"group", m.group},
                        {"moduleMask", 1 << m.module},
                        {"displayName", m.displayName},
                        {"itemTitle", m.title},
                        {"productCode", m.productCode},
                        {"moduleCode", m.moduleCode},
                        {"productName", m.displayName},
                        {"moduleName", m.title},
                        {"revision", 2},
                        {"withdrawn", m.withdrawn},
                        {"files", list}});
  }

  // The demo account owns everything except the German module of the North Sea charts.
  const std::string salt = cvservice::RandomHex(cvservice::kPasswordSaltBytes);
  const std::string hash = cvservice::HashPassword(kDemoPassword, salt, cvservice::kPasswordRounds);
  if (salt.empty() || hash.empty()) {
    error = "cannot hash the demo password";
    return false;
  }
  const json accounts = {
      {"accounts",
       json::array({{{"email", kDemoEmail},
                     {"salt", salt},
                     {"hash", hash},
                     {"rounds", cvservice::kPasswordRounds},
                     {"products", json::array({{{"product", 100}, {"mask", -1}},
                                               {{"product", 110}, {"mask", -1}},
                                               {{"product", 120}, {"mask", -1}},
                                               {{"product", 1001}, {"mask", 3}},
                                               {{"product", 1002}, {"mask", -1}},
                                               {{"product", 1003}, {"mask", -1}}})}}})}};
  return WriteFile(root / "catalogue.json", json{{"products", products}}.dump(1) + "\n", error) &&
         WriteFile(root / "accounts.json", accounts.dump(1) + "\n", error) &&
         WriteFile(root / "demo-stamp.json", DemoStamp(setupProgram) + "\n", error);
}

bool WritePrivateFile(const std::string& path, const std::string& data, std::string& error, int uid, int gid) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  // A new temporary name of its own (O_EXCL, 0600): a link planted beside the file never
  // redirects the write, and the rename replaces a link at `path` rather than following it.
  std::string temp = path + ".tmp-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    error = path + ".tmp: " + std::strerror(errno);
    return false;
  }
  bool ok = ::fchmod(fd, 0600) == 0;
  if (uid != -1 || gid != -1) ok = ok && ::fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) == 0;
  for (std::size_t done = 0; ok && done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace cvdemo
