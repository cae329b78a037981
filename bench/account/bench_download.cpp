// The download benchmark's three roles, each a mode of this program:
//   make FILE MIB      writes a file of pseudo-random bytes and prints its SHA-256
//   serve FILE         a small account service on 127.0.0.1 that offers FILE as the one file
//                      of product 100 (any sign-in is accepted) and serves it with ranges,
//                      streamed from disk; prints its URL and runs until killed
//   download URL DIR   signs in, asks for the file list and downloads the file into DIR with
//                      StartDownload; prints the seconds from the start to event 130
#include <CvLibNav5.h>

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string Sha256OfFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return {};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  std::vector<char> buf(8 << 20);
  ssize_t n;
  while ((n = ::read(fd, buf.data(), buf.size())) > 0) EVP_DigestUpdate(ctx, buf.data(), static_cast<size_t>(n));
  ::close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_DigestFinal_ex(ctx, digest, &len);
  EVP_MD_CTX_free(ctx);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

int Make(const std::string& path, long mib) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 1;
  std::vector<uint64_t> block((8 << 20) / 8);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (long done = 0; done < mib; done += 8) {
    for (uint64_t& v : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      v = x;
    }
    const size_t bytes = static_cast<size_t>(std::min<long>(8, mib - done)) << 20;
    if (std::fwrite(block.data(), 1, bytes, f) != bytes) return 1;
  }
  if (std::fclose(f) != 0) return 1;
  std::printf("%s\n", Sha256OfFile(path).c_str());
  return 0;
}

int Serve(const std::string& path) {
  const std::string sha = Sha256OfFile(path);
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0 || sha.empty()) return 1;
  const size_t size = static_cast<size_t>(::lseek(fd, 0, SEEK_END));
  httplib::Server server;
  server.Post("/api/v1/signin", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"session":"bench"})", "application/json");
  });
  server.Get("/api/v1/products", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"products":[{"number":100,"kind":0,"moduleMask":1,"displayName":"Bench"}]})",
                    "application/json");
  });
  server.Post("/api/v1/files", [&](const httplib::Request&, httplib::Response& res) {
    const nlohmann::json file = {{"name", "big.bin"}, {"folder", ""}, {"size", size}, {"time", 1700000000},
                                 {"addon", false}, {"sha256", sha}, {"url", "files/big.bin"}};
    const nlohmann::json item = {{"product", 100}, {"mask", 1}, {"productCode", "BENCH"}, {"status", 0},
                                 {"files", nlohmann::json::array({file})}};
    res.set_content(nlohmann::json{{"items", nlohmann::json::array({item})}}.dump(), "application/json");
  });
  server.Get("/files/big.bin", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(size, "application/octet-stream",
                             [fd](size_t offset, size_t length, httplib::DataSink& sink) {
                               std::vector<char> buf(std::min<size_t>(length, 1 << 20));
                               const ssize_t n = ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(offset));
                               if (n <= 0) return false;
                               return sink.write(buf.data(), static_cast<size_t>(n));
                             });
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::printf("http://127.0.0.1:%d/\n", port);
  std::fflush(stdout);
  server.listen_after_bind();
  return 0;
}

struct Waiter {
  QEventLoop loop;
  static void OnEvent(void* data, const cvlib::TNavEvent& e) {
    if (e.code == cvlib::necOperationDone) static_cast<Waiter*>(data)->loop.quit();
  }
};

int Download(int argc, char** argv, const QString& url, const QString& folder) {
  QCoreApplication app(argc, argv);
  auto env = cvlib::NavEnvCreate();
  Waiter waiter;
  env->EventSource().Subscribe(&Waiter::OnEvent, &waiter);
  auto check = cvlib::QMRChartCheckCreate(env->EventSource(), QStringLiteral("CSI"), 0x01000000);
  check->SetServiceURL(url);
  check->SignIn(QStringLiteral("bench@example.com;bench"), false);
  if (check->RequestProducts() == 0) waiter.loop.exec();
  cvlib::SelectionList list;
  auto entry = check->NewSelectionEntry();
  entry->SetProductNumber(100);
  entry->SetModuleMask(1);
  list.Add(std::move(entry));
  if (check->LastError() || check->RequestFileList(list) != 0) return 1;
  waiter.loop.exec();
  if (check->LastError() || check->ItemCount() != 1) return 1;
  const auto start = std::chrono::steady_clock::now();
  if (check->StartDownload(check->Item(0), 0, folder) != 0) return 1;
  waiter.loop.exec();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (check->LastError()) {
    std::fprintf(stderr, "download failed: %s\n", qPrintable(cvlib::ErrorToStr(check->LastError())));
    return 1;
  }
  std::printf("%.3f\n", seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "make" && argc == 4) return Make(argv[2], std::atol(argv[3]));
  if (mode == "serve" && argc == 3) return Serve(argv[2]);
  if (mode == "download" && argc == 4) return Download(argc, argv, QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
  std::fprintf(stderr, "usage: bench_download make FILE MIB | serve FILE | download URL DIR\n");
  return 2;
}
